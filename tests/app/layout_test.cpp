// Room for every caption: the four windows, built and shown as at start-up, in both languages
// and under every skin (and with no skin at all), must give each caption the room its font
// needs. The room is what the style itself hands the text: the contents of a button inside
// its border and padding, the edit field of a combo box beside its arrow, the text part of a
// check box beside its indicator, the label's contents rectangle.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGlyphRun>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRawFont>
#include <QStyle>
#include <QStyleOption>
#include <QTemporaryDir>
#include <QTextLayout>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/batchadd.h"
#include "app/directorydialog.h"
#include "app/errorhandler.h"
#include "app/job/sizerules.h"
#include "app/mainwindow.h"
#include "app/overwritedialog.h"
#include "app/services.h"
#include "app/skins.h"
#include "apptest.h"
#include "settings/common.h"
#include "settings/skins.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

// Text laid out as QPainter::drawText lays it into a rectangle: the advance of its widest line
// and the ink of its glyphs (the fallback fonts of Chinese text included), in the coordinates
// of the rectangle's widget.
struct DrawnText {
  qreal width = 0;
  QRectF ink;
};

DrawnText layOut(const QFont& font, const QRect& room, int flags, const QString& text) {
  QString plain = text;
  if (flags & Qt::TextShowMnemonic) {
    plain.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    plain.remove(QLatin1Char('&'));
    plain.replace(QLatin1Char('\x01'), QLatin1Char('&'));
  }
  QTextLayout layout(plain, font);
  QTextOption option;
  const bool wrap = flags & Qt::TextWordWrap;
  option.setWrapMode(wrap ? QTextOption::WordWrap : QTextOption::ManualWrap);
  layout.setTextOption(option);
  layout.beginLayout();
  qreal height = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(wrap ? room.width() : 1e6);
    line.setPosition(QPointF(0, height));
    height += line.height();
  }
  layout.endLayout();

  const qreal dy = flags & Qt::AlignVCenter  ? (room.height() - height) / 2
                   : flags & Qt::AlignBottom ? room.height() - height
                                             : 0;
  DrawnText drawn;
  for (int i = 0; i < layout.lineCount(); ++i) {
    const QTextLine line = layout.lineAt(i);
    const qreal w = line.naturalTextWidth();
    const qreal dx = flags & Qt::AlignHCenter ? (room.width() - w) / 2
                     : flags & Qt::AlignRight ? room.width() - w
                                              : 0;
    drawn.width = std::max(drawn.width, w);
    // The runs' own bounding rectangles are line boxes; the glyphs' ink comes from their fonts.
    for (const QGlyphRun& run : line.glyphRuns()) {
      const QList<quint32> glyphs = run.glyphIndexes();
      const QList<QPointF> positions = run.positions();
      for (qsizetype k = 0; k < glyphs.size(); ++k)
        drawn.ink |= run.rawFont().boundingRect(glyphs[k]).translated(
            positions[k] + QPointF(room.x() + dx, room.y() + dy));
    }
  }
  return drawn;
}

QString describe(const QRectF& r) {
  const QRect i = r.toAlignedRect();
  return QStringLiteral("%1,%2 %3x%4").arg(i.x()).arg(i.y()).arg(i.width()).arg(i.height());
}

// Collects what does not fit in one window, one line per fault.
class RoomCheck {
 public:
  explicit RoomCheck(QWidget* window) : m_window(window) {}

  QStringList Run() {
    for (QWidget* w : controls(m_window)) {
      if (auto* b = qobject_cast<QPushButton*>(w))
        button(b);
      else if (auto* c = qobject_cast<QCheckBox*>(w))
        checkBox(c);
      else if (auto* l = qobject_cast<QLabel*>(w))
        label(l);
      else if (auto* c = qobject_cast<QComboBox*>(w))
        comboBox(c);
      else if (auto* g = qobject_cast<QGroupBox*>(w))
        groupBox(g);
      const QWidget* parent = w->parentWidget();
      if (parent != m_window && !parent->rect().contains(w->geometry()))
        fault(w, QStringLiteral("lies at %1, outside its parent (%2)")
                     .arg(describe(w->geometry()), describe(parent->rect())));
    }
    m_faults.removeDuplicates();
    return m_faults;
  }

 private:
  // The window's own visible controls under parent (not the parts inside a tree view or a
  // combo box, which have no names, nor other windows).
  QList<QWidget*> controls(QWidget* parent,
                           Qt::FindChildOptions options = Qt::FindChildrenRecursively) const {
    QList<QWidget*> found;
    for (QWidget* w : parent->findChildren<QWidget*>(QString(), options))
      if (w->window() == m_window && w->isVisibleTo(m_window) && !w->objectName().isEmpty())
        found << w;
    return found;
  }

  void fault(const QWidget* w, const QString& what) {
    m_faults << QStringLiteral("%1.%2: %3").arg(m_window->objectName(), w->objectName(), what);
  }

  // text drawn with flags into room: each line as wide as room at most, the glyphs inside it.
  DrawnText fits(const QWidget* w, const QFont& font, const QRect& room, int flags,
                 const QString& text) {
    const DrawnText drawn = layOut(font, room, flags, text);
    if (text.isEmpty()) return drawn;
    if (drawn.width > room.width())
      fault(w, QStringLiteral("\"%1\" needs %2 px across, has %3")
                   .arg(text)
                   .arg(std::ceil(drawn.width))
                   .arg(room.width()));
    if (drawn.ink.top() < room.top() || drawn.ink.bottom() > room.y() + room.height())
      fault(w, QStringLiteral("\"%1\" is drawn at %2, outside its room %3")
                   .arg(text, describe(drawn.ink), describe(room)));
    return drawn;
  }

  // text (ink in the coordinates of parent) must not run under a control drawn over it.
  void notCovered(const QWidget* w, QWidget* parent, const QRectF& ink) {
    for (QWidget* other : controls(parent, Qt::FindDirectChildrenOnly)) {
      if (other == w) continue;
      // Labels are see-through: only their own glyphs cover anything.
      QRectF cover = other->geometry();
      if (auto* l = qobject_cast<QLabel*>(other)) cover = labelInk(l).translated(l->pos());
      if (cover.intersects(ink))
        fault(w,
              QStringLiteral("text at %1 runs under %2").arg(describe(ink), other->objectName()));
    }
  }

  static int labelFlags(const QLabel* l) {
    int flags = int(l->alignment());
    if (l->wordWrap()) flags |= Qt::TextWordWrap;
    if (l->buddy()) flags |= Qt::TextShowMnemonic;
    return flags;
  }

  static QRect labelRoom(const QLabel* l) {
    const int m = l->margin();
    return l->contentsRect().adjusted(m, m, -m, -m);
  }

  static QRectF labelInk(const QLabel* l) {
    return layOut(l->font(), labelRoom(l), labelFlags(l), l->text()).ink;
  }

  // Every pseudo-state a skin may pad or border differently: normal, hover, pressed, focus,
  // checked or open.
  static std::vector<QStyle::State> states() {
    const QStyle::State base = QStyle::State_Enabled | QStyle::State_Active;
    return {base, base | QStyle::State_MouseOver, base | QStyle::State_Sunken,
            base | QStyle::State_HasFocus, base | QStyle::State_On};
  }

  void button(QPushButton* b) {
    for (const QStyle::State state : states()) {
      QStyleOptionButton opt;
      opt.initFrom(b);
      opt.state = state;
      opt.text = b->text();
      opt.features = QStyleOptionButton::None;
      if (b->autoDefault()) opt.features |= QStyleOptionButton::AutoDefaultButton;
      if (b->isDefault()) opt.features |= QStyleOptionButton::DefaultButton;
      const QRect room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
      fits(b, b->font(), room, Qt::AlignCenter | Qt::TextShowMnemonic, b->text());
    }
  }

  void checkBox(QCheckBox* c) {
    for (const QStyle::State state : states()) {
      QStyleOptionButton opt;
      opt.initFrom(c);
      opt.state = state;
      opt.text = c->text();
      const QRect room = c->style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, c);
      const DrawnText drawn = fits(
          c, c->font(), room, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, c->text());
      notCovered(c, c->parentWidget(), drawn.ink.translated(c->pos()));
    }
  }

  void label(QLabel* l) {
    if (l->text().isEmpty()) return;
    const DrawnText drawn = fits(l, l->font(), labelRoom(l), labelFlags(l), l->text());
    notCovered(l, l->parentWidget(), drawn.ink.translated(l->pos()));
  }

  // Every entry of the list, not only the current one: any may be chosen and then shows in
  // the edit field.
  void comboBox(QComboBox* c) {
    for (const QStyle::State state : states()) {
      for (int i = 0; i < c->count(); ++i) {
        QStyleOptionComboBox opt;
        opt.initFrom(c);
        opt.state = state;
        opt.editable = c->isEditable();
        opt.frame = c->hasFrame();
        opt.currentText = c->itemText(i);
        opt.subControls = QStyle::SC_All;
        // The entry is drawn one pixel in from each side of the edit field.
        const QRect room =
            c->style()
                ->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, c)
                .adjusted(1, 0, -1, 0);
        fits(c, c->font(), room, Qt::AlignLeft | Qt::AlignVCenter, c->itemText(i));
      }
    }
  }

  // The style sizes the title's box from the text; what can cut the title off is the frame's
  // edge and a control over it. A skin may ask for a bold title: the bold width counts too.
  void groupBox(QGroupBox* g) {
    if (g->title().isEmpty()) return;
    QStyleOptionGroupBox opt;
    opt.initFrom(g);
    opt.text = g->title();
    opt.lineWidth = 1;
    opt.midLineWidth = 0;
    opt.textAlignment = g->alignment();
    opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect title =
        g->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, g);
    QFont bold = g->font();
    bold.setBold(true);
    const int flags = int(g->alignment()) | Qt::TextShowMnemonic;
    const QRectF ink = layOut(g->font(), title, flags, g->title()).ink |
                       layOut(bold, title, flags, g->title()).ink;
    if (ink.left() < 0 || ink.right() > g->width() || ink.top() < 0)
      fault(g, QStringLiteral("title drawn at %1 is cut off by the frame %2")
                   .arg(describe(ink), describe(g->rect())));
    for (QWidget* child : controls(g, Qt::FindDirectChildrenOnly)) {
      QRectF cover = child->geometry();
      if (auto* l = qobject_cast<QLabel*>(child)) cover = labelInk(l).translated(l->pos());
      if (cover.intersects(ink))
        fault(g, QStringLiteral("title drawn at %1 runs under %2")
                     .arg(describe(ink), child->objectName()));
    }
  }

  QWidget* m_window;
  QStringList m_faults;
};

const fs::path kSource = LUMAPREP_SOURCE_DIR;

struct Language {
  const char* name;
  int id;  // [common] language in config.ini
};

void PrintTo(const Language& language, std::ostream* os) { *os << language.name; }

// The program as installed: its language files and skins in a program folder of its own.
class LayoutTest : public ::testing::TestWithParam<Language> {
 protected:
  void SetUp() override {
    test::EnsureApp();
    ASSERT_TRUE(m_temp.isValid());
    m_program = m_temp.path().toStdString();
    fs::copy(kSource / "language", m_program / "language", fs::copy_options::recursive);
    // No skins yet: the windows start in the toolkit's own look.
    std::ofstream(m_program / "config.ini")
        << "[common]\nlanguage=" << GetParam().id << "\n[setting]\noutputFolder=/tmp\n";
    m_common = std::make_unique<TfrmCommon>(m_program.string());
    frmCommon = m_common.get();

    // Start-up order: main window, file-exists question, the two folder dialogs.
    m_main = std::make_unique<TfrmMain>();
    frmMain = m_main.get();
    frmOverWrite = new TfrmOverWrite(m_main.get());
    services::CreateDialogs(*m_main);
    m_main->show();  // FormShow: language, skin, size lists
    frmOverWrite->show();
    frmBatchAdd->show();
    frmDirectory->show();
    QCoreApplication::processEvents();
  }

  void TearDown() override {
    m_main.reset();
    frmOverWrite = nullptr;
    frmMain = nullptr;
    frmCommon = nullptr;
    m_common.reset();
    qApp->setStyleSheet(QString());
  }

  // What does not fit in any of the four windows now.
  QStringList faults() {
    QCoreApplication::processEvents();
    QStringList all;
    for (QWidget* window : std::initializer_list<QWidget*>{
             m_main.get(), frmOverWrite, frmBatchAdd.data(), frmDirectory.data()}) {
      all << RoomCheck(window).Run();
    }
    return all;
  }

  // The main window with its custom size fields shown, then as it starts.
  QStringList faultsWithCustomSizes() {
    QStringList all = faults();
    m_main->ComboBoxPhotoWidth->setCurrentIndex(kSizeItemCustom);
    m_main->ComboBoxPhotoHeight->setCurrentIndex(kSizeItemCustom);
    m_main->ComboBoxPhotoWidthChange();
    m_main->ComboBoxPhotoHeightChange();
    for (const QString& f : faults())
      if (!all.contains(f)) all << f + QStringLiteral(" (custom sizes)");
    m_main->ComboBoxPhotoWidth->setCurrentIndex(kDefaultWidthIndex);
    m_main->ComboBoxPhotoHeight->setCurrentIndex(kDefaultHeightIndex);
    m_main->ComboBoxPhotoWidthChange();
    m_main->ComboBoxPhotoHeightChange();
    return all;
  }

  QTemporaryDir m_temp;
  fs::path m_program;
  test::ErrorRecorder m_recorder;
  QStringList& m_errors = m_recorder.messages;
  std::unique_ptr<TfrmCommon> m_common;
  std::unique_ptr<TfrmMain> m_main;
};

TEST_P(LayoutTest, EveryCaptionHasRoomUnderEverySkin) {
  // The language file is in place: the windows show its texts, not the design texts.
  ASSERT_NE(m_main->buttonConvert->text(), QStringLiteral("ConvertNow"));
  ASSERT_EQ(m_main->ComboBoxPhotoHeight->currentText(), m_main->StringItemAuto);

  {
    SCOPED_TRACE("no skin");
    ASSERT_TRUE(qApp->styleSheet().isEmpty());
    EXPECT_EQ(faultsWithCustomSizes().join(QLatin1Char('\n')).toStdString(), "");
  }
  fs::copy(kSource / "skins", m_program / "skins", fs::copy_options::recursive);
  for (int k = 1; k <= kSkinCount; ++k) {
    SCOPED_TRACE(SkinFileName(k));
    m_main->SkinMenuClick(k);
    ASSERT_EQ(CurrentSkinFile(), m_common->SkinFilePath(k));
    EXPECT_EQ(faultsWithCustomSizes().join(QLatin1Char('\n')).toStdString(), "");
  }
  EXPECT_TRUE(m_errors.isEmpty()) << m_errors.join(QLatin1Char('\n')).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Languages, LayoutTest,
                         ::testing::Values(Language{"en", 2}, Language{"gb", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumaprep
