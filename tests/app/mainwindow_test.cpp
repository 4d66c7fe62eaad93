// The main window driven headless: start-up state, language, the file list, the size
// controls and the conversion job from end to end on real photos.
#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QCheckBox>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include <gtest/gtest.h>

#include "app/errorhandler.h"
#include "app/imageview.h"
#include "app/mainwindow.h"
#include "app/overwritedialog.h"
#include "app/job/convert.h"
#include "apptest.h"
#include "imaging/imagebitmap.h"
#include "imaging/imageio.h"
#include "imaging/resample.h"
#include "settings/common.h"
#include "testdata.h"

namespace fs = std::filesystem;

namespace lumaprep {
namespace {

using test::ReadFile;
using test::WriteFile;

// The language file of the tests: short texts, and "%s" as the status pattern so that the
// status line shows the bare position.
const char* const kTestLanguage =
    "[App]\nTitle=TestTitle\n"
    "[frmMain]\ncaption=Main\nActionFileAdd=Add\nActionConvertNow=Convert\n"
    "ActionStopConvert=Stop\nStringItemAuto=Auto\nStringItemSpecial=Custom\n"
    "msgStatusReady=Ready\nmsgStatusRun=%s\nmsgClearAll=Clear?\nmsgFolderView=Done.\n"
    "msgFinishInfo=Open?\nmsgUnreadFiles=Unread: %s\nGroupBoxPreview=Preview\n"
    "[frmOverWrite]\ncaption=Exists\nbuttonOverWrite=Overwrite\n";

// The JPEG structure of a file: frame size and the first quantisation table (natural order).
struct JpegInfo {
  int width = 0;
  int height = 0;
  std::array<int, 64> luminanceTable{};
  bool hasExif = false;
  bool valid = false;
};

JpegInfo ParseJpeg(const std::string& data) {
  static const int kZigZag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18,
                                  11, 4,  5,  12, 19, 26, 33, 40, 48, 41, 34, 27, 20,
                                  13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43,
                                  36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45,
                                  38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
  JpegInfo info;
  auto byte = [&](size_t i) { return i < data.size() ? uint8_t(data[i]) : 0; };
  if (byte(0) != 0xFF || byte(1) != 0xD8) return info;
  size_t pos = 2;
  bool haveTable = false;
  while (pos + 4 <= data.size()) {
    if (byte(pos) != 0xFF) return info;
    const uint8_t marker = byte(pos + 1);
    const size_t length = size_t(byte(pos + 2)) << 8 | byte(pos + 3);
    const size_t body = pos + 4;
    if (marker == 0xDB && !haveTable) {
      // Precision/id byte, then 64 entries in zigzag order (8-bit tables only here).
      if (byte(body) >> 4 != 0) return info;
      for (int k = 0; k < 64; ++k) info.luminanceTable[kZigZag[k]] = byte(body + 1 + k);
      haveTable = true;
    } else if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
      info.height = byte(body + 1) << 8 | byte(body + 2);
      info.width = byte(body + 3) << 8 | byte(body + 4);
    } else if (marker == 0xE1 && data.compare(body, 4, "Exif") == 0) {
      info.hasExif = true;
    } else if (marker == 0xDA) {
      info.valid = haveTable && info.width > 0;
      return info;
    }
    pos += 2 + length;
  }
  return info;
}

// The baseline luminance table scaled for a quality as libjpeg does it.
std::array<int, 64> ExpectedLuminanceTable(int quality) {
  static const int kBase[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19,  26,
                                58, 60, 55, 14, 13,  16,  24,  40,  57, 69, 56, 14,  17,
                                22, 29, 51, 87, 80,  62,  18,  22,  37, 56, 68, 109, 103,
                                77, 24, 35, 55, 64,  81,  104, 113, 92, 49, 64, 78,  87,
                                103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
  const int scale = quality < 50 ? 5000 / std::max(quality, 1) : 200 - quality * 2;
  std::array<int, 64> table{};
  for (int i = 0; i < 64; ++i) table[i] = std::clamp((kBase[i] * scale + 50) / 100, 1, 255);
  return table;
}

// Answers the modal dialogs that a handler opens, while it lives: the file-exists question
// through onOverWrite, message boxes through onBox (default: No / Cancel).
class ModalAnswerer {
 public:
  std::function<void(TfrmOverWrite&)> onOverWrite;
  std::function<QMessageBox::StandardButton(QMessageBox&)> onBox;
  std::function<void(QFileDialog&)> onFileDialog;
  int overWriteCount = 0;
  QStringList boxTexts;

  ModalAnswerer() {
    m_timer.setInterval(2);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
    m_timer.start();
  }

 private:
  void poll() {
    QWidget* w = QApplication::activeModalWidget();
    if (!w || !w->isVisible()) return;
    if (auto* dialog = qobject_cast<TfrmOverWrite*>(w)) {
      ++overWriteCount;
      if (onOverWrite)
        onOverWrite(*dialog);
      else
        dialog->reject();
    } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
      boxTexts << box->text();
      QMessageBox::StandardButton answer = onBox ? onBox(*box) : QMessageBox::NoButton;
      if (answer == QMessageBox::NoButton)
        answer = box->button(QMessageBox::No) ? QMessageBox::No : QMessageBox::Cancel;
      box->button(answer)->click();
    } else if (auto* files = qobject_cast<QFileDialog*>(w)) {
      if (onFileDialog)
        onFileDialog(*files);
      else
        files->reject();
    }
  }

  QTimer m_timer;
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApp();
    ASSERT_TRUE(m_temp.isValid());
    m_root = fs::path(m_temp.path().toStdString());
    m_program = m_root / "program";
    WriteFile(m_program / "language" / "en.ini", kTestLanguage);
    m_out = m_root / "out";
    fs::create_directories(m_out);
  }

  void TearDown() override {
    m_window.reset();
    frmOverWrite = nullptr;
    frmMain = nullptr;
    frmCommon = nullptr;
    m_common.reset();
  }

  // Creates the windows in start-up order and shows the main window (which runs FormShow).
  void Start() {
    m_common = std::make_unique<TfrmCommon>(m_program.string());
    frmCommon = m_common.get();
    m_window = std::make_unique<TfrmMain>();
    frmMain = m_window.get();
    frmOverWrite = new TfrmOverWrite(m_window.get());
    m_window->show();
    QCoreApplication::processEvents();
  }

  // A copy of a sample photo in the temporary folder (so that tests can name it freely).
  fs::path Sample(const std::string& name, const std::string& as = {}) {
    const fs::path source = test::TestDataDir() / "jpeg" / name;
    const fs::path copy = m_root / "in" / (as.empty() ? name : as);
    fs::create_directories(copy.parent_path());
    fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
    return copy;
  }

  void SetOutput(const fs::path& folder) {
    m_window->editOutputFolder->setText(QString::fromStdString(folder.string()));
  }

  void Add(const fs::path& path) { m_window->AddFile(QString::fromStdString(path.string())); }

  void Convert() { m_window->buttonConvert->click(); }

  QStringList Entries() const { return m_window->FileList(); }

  QTemporaryDir m_temp;
  fs::path m_root, m_program, m_out;
  test::ErrorRecorder m_recorder;
  QStringList& m_errors = m_recorder.messages;
  std::unique_ptr<TfrmCommon> m_common;
  std::unique_ptr<TfrmMain> m_window;
};

// ---- Start-up and language -----------------------------------------------------------------

TEST_F(MainWindowTest, StartsWithDefaultSizesQualityAndOutputFolder) {
  struct Case {
    const char* name;
    std::string config;  // "" = no config.ini
    std::string expectedFolder;
  };
  const Case cases[] = {
      {"no config.ini", "", TfrmCommon::HomeFolder()},
      {"stored folder", "[setting]\noutputFolder=/srv/photos out\n", "/srv/photos out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(m_program / "config.ini");
    if (!c.config.empty()) WriteFile(m_program / "config.ini", c.config);
    Start();
    EXPECT_EQ(m_window->ComboBoxPhotoWidth->currentIndex(), 2);
    EXPECT_EQ(m_window->ComboBoxPhotoHeight->currentIndex(), 0);
    EXPECT_EQ(m_window->GetPhotoWidth(), 1024);
    EXPECT_EQ(m_window->GetPhotoHeight(), -1);
    EXPECT_EQ(m_window->TrackBarJPEGQuality->value(), 80);
    EXPECT_EQ(m_window->editOutputFolder->text().toStdString(), c.expectedFolder);
    EXPECT_FALSE(m_window->MaskEditWidth->isVisible());
    EXPECT_FALSE(m_window->MaskEditHeight->isVisible());
    // The language is applied before the lists get their texts and the folder is read.
    EXPECT_EQ(m_window->ComboBoxPhotoWidth->itemText(0), "Auto");
    EXPECT_EQ(m_window->ComboBoxPhotoHeight->itemText(10), "Custom");
    EXPECT_EQ(m_window->ComboBoxPhotoWidth->itemText(2), "1024");
    EXPECT_EQ(m_window->labelCurrentInfo->text(), "Ready");
    EXPECT_EQ(m_window->windowTitle(), "Main");
    EXPECT_EQ(m_window->buttonConvert->text(), "Convert");
    EXPECT_TRUE(m_window->FReady);
    EXPECT_EQ(m_window->FOverWriteChoice, owIgnore);
    EXPECT_EQ(m_window->centralWidget()->size(), QSize(467, 422));
    EXPECT_EQ(m_window->size(), QSize(467, 422 + m_window->menuBar()->height()));
    // Showing the folder wrote it back: after the first start config.ini holds the key.
    EXPECT_NE(ReadFile(m_program / "config.ini").find("outputFolder=" + c.expectedFolder),
              std::string::npos);
    m_window.reset();
  }
}

TEST_F(MainWindowTest, ShowHandlerRunsInOrderAndStopsAtAnError) {
  // The skin comes right after the language: a broken skin file is reported, and the size
  // lists and the output folder box keep their design state.
  WriteFile(m_program / "skins" / "Silver.ssk", "} QWidget { color: red; }");
  Start();
  ASSERT_EQ(m_errors.size(), 1);
  EXPECT_EQ(m_window->labelCurrentInfo->text(), "Ready");
  EXPECT_EQ(m_window->ComboBoxPhotoWidth->itemText(0), QString::fromUtf8("自动设置"));
  EXPECT_EQ(m_window->ComboBoxPhotoWidth->itemText(10), QString::fromUtf8("自定义"));
  EXPECT_EQ(m_window->editOutputFolder->text(), "C:\\");
  EXPECT_FALSE(fs::exists(m_program / "config.ini"));
  // The window works on: sizes at their defaults.
  EXPECT_EQ(m_window->GetPhotoWidth(), 1024);
  EXPECT_EQ(m_window->GetPhotoHeight(), -1);
}

TEST_F(MainWindowTest, LanguageFileWithOnlyAppSectionEmptiesEveryOtherCaption) {
  WriteFile(m_program / "language" / "en.ini", "[app]\nTITLE=Only Title\n");
  Start();
  EXPECT_EQ(ApplicationTitle(), "Only Title");
  TfrmMain& w = *m_window;
  EXPECT_EQ(w.windowTitle(), "");
  for (QAction* a : {w.ActionFileAdd, w.ActionFileBatchAdd, w.ActionFileDelete,
                     w.ActionFileClearAll, w.ActionFileMoveUp, w.ActionFileMoveDown,
                     w.ActionConvertNow, w.ActionSetDirectory, w.ActionExit})
    EXPECT_EQ(a->text(), "") << a->objectName().toStdString();
  for (QPushButton* b : {w.buttonAdd, w.buttonDelete, w.buttonClearAll, w.buttonMoveUp,
                         w.buttonMoveDown, w.buttonConvert, w.BitBtnOutput})
    EXPECT_EQ(b->text(), "") << b->objectName().toStdString();
  for (QGroupBox* g : {w.groupBoxStatus, w.groupBoxSettings, w.groupBoxOutput})
    EXPECT_EQ(g->title(), "");
  for (QLabel* l : {w.labelCurrentDecrption, w.labelCurrentProgress, w.labelCurrentInfo,
                    w.labelOutput, w.LabelPhotoWidth, w.LabelPhotoHeight, w.LabelPx1,
                    w.LabelPx2, w.LabelJpegQuality})
    EXPECT_EQ(l->text(), "") << l->objectName().toStdString();
  for (QMenu* m : {w.N_1, w.N_Skin, w.N_Tools, w.N_OtherProducts, w.N_Help})
    EXPECT_EQ(m->title(), "");
  EXPECT_EQ(w.N_SkinItems[12]->text(), "");
  EXPECT_EQ(w.listViewFiles->headerItem()->text(0), "");
  EXPECT_EQ(frmOverWrite->windowTitle(), "");
  EXPECT_EQ(frmOverWrite->buttonAutoName->text(), "");
  // The size lists: first and last entries empty, presets kept, selections as at start.
  EXPECT_EQ(w.ComboBoxPhotoWidth->itemText(0), "");
  EXPECT_EQ(w.ComboBoxPhotoWidth->itemText(10), "");
  EXPECT_EQ(w.ComboBoxPhotoHeight->itemText(3), "600");
  EXPECT_EQ(w.GetPhotoWidth(), 1024);
  EXPECT_EQ(w.GetPhotoHeight(), -1);
}

TEST_F(MainWindowTest, MenusAndActionsInTheirOrder) {
  Start();
  auto names = [](QMenu* menu) {
    QStringList list;
    for (QAction* a : menu->actions())
      list << (a->isSeparator() ? "-" : a->menu() ? a->menu()->objectName() : a->objectName());
    return list.join(',').toStdString();
  };
  EXPECT_EQ(names(m_window->N_1),
            "ActionFileAdd,ActionFileBatchAdd,ActionFileDelete,ActionFileClearAll,-,"
            "ActionFileMoveUp,ActionFileMoveDown,-,ActionConvertNow,-,ActionExit");
  EXPECT_EQ(names(m_window->PopupMenu),
            "ActionFileAdd,ActionFileBatchAdd,ActionFileDelete,ActionFileClearAll,-,"
            "ActionFileMoveUp,ActionFileMoveDown");
  EXPECT_EQ(names(m_window->N_Tools), "N_OtherProducts");
  EXPECT_EQ(m_window->N_Skin->actions().size(), 18);
  EXPECT_EQ(m_window->N_Skin->actions()[12]->objectName(), "N_Skin13");
  EXPECT_EQ(m_window->N_OtherProducts->actions().size(), 11);
  EXPECT_EQ(names(m_window->N_Help), "N_LocalHelp,N_HomePage,N_Support,N_FeedBack,N_Update");
  QStringList bar;
  for (QAction* a : m_window->menuBar()->actions()) bar << a->menu()->objectName();
  EXPECT_EQ(bar.join(',').toStdString(), "N_1,N_Skin,N_Tools,N_Help");
}

TEST_F(MainWindowTest, SkinEntryAppliesThenStoresItsNumber) {
  WriteFile(m_program / "skins" / "Midsummer.ssk", "QWidget { color: #102030; }");
  WriteFile(m_program / "skins" / "Warm.ssk", "} broken");
  Start();
  m_window->N_SkinItems[12]->trigger();  // entry 13
  EXPECT_TRUE(m_errors.isEmpty());
  EXPECT_NE(ReadFile(m_program / "config.ini").find("skin=13"), std::string::npos);
  // A skin that cannot be applied is reported and not stored.
  m_window->N_SkinItems[14]->trigger();  // entry 15, Warm.ssk
  EXPECT_EQ(m_errors.size(), 1);
  EXPECT_NE(ReadFile(m_program / "config.ini").find("skin=13"), std::string::npos);
  qApp->setStyleSheet(QString());
}

TEST_F(MainWindowTest, ExitClosesWithoutWritingSettings) {
  Start();
  const std::string before = ReadFile(m_program / "config.ini");
  m_window->ActionExit->trigger();
  EXPECT_FALSE(m_window->isVisible());
  EXPECT_EQ(ReadFile(m_program / "config.ini"), before);
}

// ---- File list -----------------------------------------------------------------------------

TEST_F(MainWindowTest, AddFileAdmitsBySubstringOfTheExtensionList) {
  Start();
  struct Case {
    const char* path;
    bool admitted;
  };
  const Case cases[] = {
      {"/p/photo.JPG", true},     {"/p/photo.jpeg", true},   {"/p/photo.jp", true},
      {"/p/photo.tga", true},     {"/p/a.b/photo.Tif", true}, {"/p/photo.tiff", false},
      {"/p/README", false},       {"/p/my.dir/README", false}, {"/p/photo.txt", false},
      {"/p/photo.j2c", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const int before = int(Entries().size());
    m_window->AddFile(c.path);
    EXPECT_EQ(int(Entries().size()) - before, c.admitted ? 1 : 0);
    if (c.admitted) {
      EXPECT_EQ(Entries().last(), c.path);
    }
  }
  // Duplicates are kept.
  m_window->AddFile("/p/photo.JPG");
  EXPECT_EQ(Entries().count("/p/photo.JPG"), 2);
}

TEST_F(MainWindowTest, DroppedFilesAreAddedInOrderThroughTheSameTest) {
  Start();
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile("/d/one.png"), QUrl::fromLocalFile("/d/folder"),
                QUrl::fromLocalFile("/d/two.bmp"), QUrl::fromLocalFile("/d/three.gif")});
  // Over the file list: the drop reaches the window, whose every part accepts files.
  QWidget* target = m_window->listViewFiles->viewport();
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  EXPECT_EQ(Entries(), QStringList({"/d/one.png", "/d/two.bmp", "/d/three.gif"}));
}

TEST_F(MainWindowTest, OpenDialogHasItsTitleAndFilterGroups) {
  Start();
  const fs::path dir = m_root / "pick";
  WriteFile(dir / "a.jpg", "x");
  WriteFile(dir / "b.txt", "x");
  ModalAnswerer answer;
  QString title;
  QStringList filters;
  answer.onFileDialog = [&](QFileDialog& dialog) {
    title = dialog.windowTitle();
    filters = dialog.nameFilters();
    dialog.setDirectory(QString::fromStdString(dir.string()));
    dialog.findChild<QLineEdit*>("fileNameEdit")->setText("\"a.jpg\" \"b.txt\"");
    static_cast<QDialog&>(dialog).accept();
  };
  m_window->OpenDialog->setOption(QFileDialog::DontUseNativeDialog);
  m_window->ActionFileAdd->trigger();
  EXPECT_EQ(title, "Open photo files");
  ASSERT_EQ(filters.size(), 8);
  EXPECT_TRUE(filters[0].startsWith("Support files (*.jpg *.gif *.bmp"));
  EXPECT_TRUE(filters[5].startsWith("Adobe files (*.psd;*.tif)"));
  EXPECT_TRUE(filters[7].startsWith("All files (*.*)"));
  // Files chosen under any filter still pass the extension test.
  EXPECT_EQ(Entries(), QStringList({QString::fromStdString((dir / "a.jpg").string())}));
}

TEST_F(MainWindowTest, MoveAndRemoveWorkOnTheSelectedEntry) {
  Start();
  for (const char* p : {"/a.jpg", "/b.jpg", "/c.jpg"}) m_window->AddFile(p);
  QTreeWidget* list = m_window->listViewFiles;
  // Nothing selected: nothing moves, nothing is removed.
  m_window->ActionFileMoveUp->trigger();
  m_window->ActionFileMoveDown->trigger();
  m_window->ActionFileDelete->trigger();
  EXPECT_EQ(Entries(), QStringList({"/a.jpg", "/b.jpg", "/c.jpg"}));

  list->topLevelItem(0)->setSelected(true);
  m_window->ActionFileMoveUp->trigger();  // first entry: stays
  EXPECT_EQ(Entries(), QStringList({"/a.jpg", "/b.jpg", "/c.jpg"}));
  m_window->ActionFileMoveDown->trigger();
  m_window->ActionFileMoveDown->trigger();
  EXPECT_EQ(Entries(), QStringList({"/b.jpg", "/c.jpg", "/a.jpg"}));
  m_window->ActionFileMoveDown->trigger();  // last entry: stays
  EXPECT_EQ(Entries(), QStringList({"/b.jpg", "/c.jpg", "/a.jpg"}));
  EXPECT_TRUE(list->topLevelItem(2)->isSelected());
  m_window->ActionFileMoveUp->trigger();
  EXPECT_EQ(Entries(), QStringList({"/b.jpg", "/a.jpg", "/c.jpg"}));
  EXPECT_TRUE(list->topLevelItem(1)->isSelected());

  m_window->ActionFileDelete->trigger();
  EXPECT_EQ(Entries(), QStringList({"/b.jpg", "/c.jpg"}));
}

TEST_F(MainWindowTest, AnEntryEditedInPlaceIsThePathThatIsConverted) {
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  m_window->AddFile("/somewhere/else/hopper.jpg");
  QTreeWidget* list = m_window->listViewFiles;
  QTreeWidgetItem* item = list->topLevelItem(0);
  list->editItem(item, 0);
  auto* editor = list->viewport()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  editor->setText(QString::fromStdString(Sample("hopper.jpg").string()));
  QMetaObject::invokeMethod(list, "commitData", Q_ARG(QWidget*, editor));
  EXPECT_EQ(Entries(), QStringList({QString::fromStdString(Sample("hopper.jpg").string())}));
  SetOutput(m_out);
  ModalAnswerer answer;
  Convert();
  EXPECT_TRUE(m_errors.isEmpty());
  EXPECT_TRUE(fs::exists(m_out / "hopper.jpg"));
}

TEST_F(MainWindowTest, ClearAllAsksFirst) {
  Start();
  for (const char* p : {"/a.jpg", "/b.jpg"}) m_window->AddFile(p);
  {
    ModalAnswerer answer;  // Cancel
    m_window->ActionFileClearAll->trigger();
    EXPECT_EQ(answer.boxTexts, QStringList({"Clear?"}));
    EXPECT_EQ(Entries().size(), 2);
  }
  {
    ModalAnswerer answer;
    answer.onBox = [](QMessageBox& box) {
      EXPECT_EQ(box.windowTitle(), "TestTitle");
      EXPECT_TRUE(box.button(QMessageBox::Cancel));
      return QMessageBox::Ok;
    };
    m_window->ActionFileClearAll->trigger();
    EXPECT_EQ(answer.boxTexts.size(), 1);
    EXPECT_TRUE(Entries().isEmpty());
  }
}

TEST_F(MainWindowTest, ClickOnAnEntryShowsItInThePreview) {
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  Add(Sample("flower.jpg"));
  QTreeWidget* list = m_window->listViewFiles;
  const QRect rect = list->visualItemRect(list->topLevelItem(0));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
  EXPECT_EQ(m_window->ImageView->Bitmap().Width(), 480);
  EXPECT_EQ(m_window->ImageView->Bitmap().Height(), 360);
  // Fitted into the 136 x 102 view with the image's aspect ratio.
  EXPECT_EQ(m_window->ImageView->Picture().size(), QSize(136, 102));

  // A file that cannot be opened: the error box, the preview unchanged.
  m_window->AddFile("/no/such/photo.jpg");
  list->clearSelection();
  list->topLevelItem(1)->setSelected(true);
  m_window->listViewFiles->clicked(list->model()->index(1, 0));
  EXPECT_EQ(m_errors.size(), 1);
  EXPECT_EQ(m_window->ImageView->Bitmap().Width(), 480);
}

// ---- Size controls -------------------------------------------------------------------------

TEST_F(MainWindowTest, CustomEntryShowsItsFieldAndReadsIt) {
  Start();
  QComboBox* width = m_window->ComboBoxPhotoWidth;
  QComboBox* height = m_window->ComboBoxPhotoHeight;
  width->setCurrentIndex(10);
  emit width->activated(10);
  EXPECT_TRUE(m_window->MaskEditWidth->isVisible());
  EXPECT_EQ(m_window->LabelPx1->x(), 155);
  EXPECT_EQ(m_window->LabelPx2->x(), 123);
  height->setCurrentIndex(10);
  emit height->activated(10);
  EXPECT_TRUE(m_window->MaskEditHeight->isVisible());
  EXPECT_EQ(m_window->LabelPx2->x(), 155);

  struct Case {
    const char* typed;
    int width;
    int height;
  };
  const Case cases[] = {
      {"", 1024, -1}, {"0800", 800, 800}, {"640", 640, 640}, {"0", 0, 0}, {"9999", 9999, 9999},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    for (QLineEdit* edit : {m_window->MaskEditWidth, m_window->MaskEditHeight}) {
      edit->clear();
      edit->setFocus();
      edit->home(false);
      QTest::keyClicks(edit, c.typed);
    }
    EXPECT_EQ(m_window->GetPhotoWidth(), c.width);
    EXPECT_EQ(m_window->GetPhotoHeight(), c.height);
  }
  // A blank between two digits: automatic.
  m_window->MaskEditWidth->setText("1 2");
  EXPECT_EQ(m_window->GetPhotoWidth(), -1);

  // Back to a preset: the field hides, keeps its text, and the label moves back.
  width->setCurrentIndex(3);
  emit width->activated(3);
  EXPECT_FALSE(m_window->MaskEditWidth->isVisible());
  EXPECT_EQ(m_window->LabelPx1->x(), 123);
  EXPECT_EQ(m_window->GetPhotoWidth(), 800);
}

// ---- Conversion ----------------------------------------------------------------------------

// Records the status line and the progress bar while a run processes pending events.
struct RunRecorder {
  QStringList statuses;
  std::vector<int> progress;
  QTimer timer;

  explicit RunRecorder(TfrmMain& w) {
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [this, &w] {
      const QString s = w.labelCurrentInfo->text();
      if (statuses.isEmpty() || statuses.last() != s) statuses << s;
    });
    QObject::connect(w.progressBarCurrent, &QProgressBar::valueChanged,
                     [this](int v) { progress.push_back(v); });
    timer.start();
  }
};

TEST_F(MainWindowTest, ConvertsPhotosEndToEnd) {
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  struct Photo {
    const char* name;
    int width, height;  // at the defaults: width 1024, height automatic
  };
  const Photo photos[] = {
      {"Canon_40D.jpg", 1024, 696}, {"cat.jpg", 1024, 768},       {"flower.jpg", 1024, 768},
      {"hopper.jpg", 1024, 1024},   {"testorig.jpg", 1024, 672},
  };
  for (const Photo& p : photos) Add(test::TestDataDir() / "jpeg" / p.name);
  SetOutput(m_out);

  ModalAnswerer answer;
  RunRecorder recorder(*m_window);
  Convert();

  EXPECT_TRUE(m_errors.isEmpty()) << m_errors.join('\n').toStdString();
  for (const Photo& p : photos) {
    SCOPED_TRACE(p.name);
    const std::string source = ReadFile(test::TestDataDir() / "jpeg" / p.name);
    const JpegInfo out = ParseJpeg(ReadFile(m_out / p.name));
    ASSERT_TRUE(out.valid);
    EXPECT_EQ(out.width, p.width);
    EXPECT_EQ(out.height, p.height);
    EXPECT_EQ(out.luminanceTable, ExpectedLuminanceTable(80));
    EXPECT_EQ(out.hasExif, ParseJpeg(source).hasExif);
  }
  EXPECT_TRUE(ParseJpeg(ReadFile(m_out / "Canon_40D.jpg")).hasExif);

  // Status 0/5 .. 4/5, then the ready text; the bar ends at 4 of 5 before it is reset.
  EXPECT_EQ(recorder.statuses,
            QStringList({"0/5", "1/5", "2/5", "3/5", "4/5", "Ready"}));
  EXPECT_EQ(m_window->progressBarCurrent->maximum(), 5);
  ASSERT_FALSE(recorder.progress.empty());
  EXPECT_EQ(*std::max_element(recorder.progress.begin(), recorder.progress.end()), 4);
  EXPECT_EQ(m_window->progressBarCurrent->value(), 0);

  // The finish prompt, and the blanked preview (its size stays).
  ASSERT_EQ(answer.boxTexts.size(), 1);
  EXPECT_EQ(answer.boxTexts[0], "Done.\n\nOpen?");
  TImageBitmap& image = m_window->ImageView->Bitmap();
  EXPECT_EQ(image.Width(), 1024);
  const QColor bg = m_window->ImageView->Background();
  const TRGB pixel = image.Pixels(image.Width() / 2, image.Height() / 2);
  EXPECT_EQ(pixel, (TRGB{uint8_t(bg.blue()), uint8_t(bg.green()), uint8_t(bg.red())}));
  EXPECT_FALSE(image.HasAlphaChannel());
  EXPECT_TRUE(m_window->FReady);
  EXPECT_FALSE(m_window->Converting());
}

TEST_F(MainWindowTest, WindowWritesTheSameBytesAsTheSharedConversionStep) {
  // The window converts in the preview's buffer; the command line in a buffer of its own in
  // memory. Both must write the same files, whatever came before in the list.
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  const char* names[] = {"cat.jpg", "hopper_gray.jpg", "cmyk-sample.jpg", "testorig.jpg",
                         "exif-200dpcm.jpg"};
  for (const char* n : names) Add(test::TestDataDir() / "jpeg" / n);
  SetOutput(m_out);
  ModalAnswerer answer;
  Convert();
  const fs::path reference = m_root / "reference";
  fs::create_directories(reference);
  for (const char* n : names) {
    SCOPED_TRACE(n);
    TImageBitmap bitmap;
    bitmap.SetLocation(imMemory);
    TImageIO io(&bitmap);
    TImageProc proc(&bitmap);
    ASSERT_TRUE(ConvertFile(io, proc, (test::TestDataDir() / "jpeg" / n).string(),
                            (reference / n).string(), 80, 1024, -1, {}));
    EXPECT_EQ(ReadFile(m_out / n), ReadFile(reference / n));
  }
}

TEST_F(MainWindowTest, QualityAndSizeAreReadForEachRun) {
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  Add(test::TestDataDir() / "jpeg" / "flower.jpg");  // 480 x 360
  SetOutput(m_out);
  m_window->TrackBarJPEGQuality->setValue(50);
  m_window->ComboBoxPhotoWidth->setCurrentIndex(0);   // automatic
  m_window->ComboBoxPhotoHeight->setCurrentIndex(3);  // 600
  ModalAnswerer answer;
  Convert();
  const JpegInfo out = ParseJpeg(ReadFile(m_out / "flower.jpg"));
  EXPECT_EQ(out.width, 800);
  EXPECT_EQ(out.height, 600);
  EXPECT_EQ(out.luminanceTable, ExpectedLuminanceTable(50));
}

TEST_F(MainWindowTest, FinishPromptYesOpensTheOutputFolderWithItsSlash) {
  Start();
  SetOutput(m_out);
  QStringList opened;
  m_window->SetFolderOpener([&](const QString& path) { opened << path; });
  ModalAnswerer answer;
  answer.onBox = [](QMessageBox&) { return QMessageBox::Yes; };
  m_window->AddFile(QString::fromStdString((m_root / "missing.jpg").string()));
  ASSERT_EQ(m_window->FileList().size(), 1);
  // The missing input ends the run with the error box; an empty list runs to the prompt.
  Convert();
  EXPECT_EQ(m_errors.size(), 1);
  EXPECT_TRUE(opened.isEmpty());
  m_window->listViewFiles->clear();
  Convert();
  ASSERT_EQ(opened.size(), 1);
  // The empty run never appends the slash: the folder is opened as typed.
  EXPECT_EQ(opened[0].toStdString(), m_out.string());
}

TEST_F(MainWindowTest, EmptyListResetsBlanksAndPrompts) {
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  Add(Sample("hopper.jpg"));
  m_window->listViewFiles->topLevelItem(0)->setSelected(true);
  m_window->listViewFilesClick();  // the preview shows the photo
  m_window->listViewFiles->clear();
  SetOutput(m_out);
  ModalAnswerer answer;
  Convert();
  EXPECT_EQ(answer.boxTexts.size(), 1);
  EXPECT_EQ(m_window->labelCurrentInfo->text(), "Ready");
  TImageBitmap& image = m_window->ImageView->Bitmap();
  EXPECT_EQ(image.Width(), 128);
  const QColor bg = m_window->ImageView->Background();
  EXPECT_EQ(image.Pixels(5, 5), (TRGB{uint8_t(bg.blue()), uint8_t(bg.green()), uint8_t(bg.red())}));
  EXPECT_TRUE(fs::is_empty(m_out));
}

TEST_F(MainWindowTest, MissingOutputFolderEndsTheRunWithTheErrorBox) {
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  Add(Sample("hopper.jpg"));
  Add(Sample("cat.jpg"));
  const fs::path missing = m_root / "no" / "such" / "folder";
  SetOutput(missing);
  ModalAnswerer answer;
  Convert();
  ASSERT_EQ(m_errors.size(), 1);
  EXPECT_TRUE(answer.boxTexts.isEmpty());  // no finish prompt
  EXPECT_FALSE(fs::exists(m_root / "no"));
  EXPECT_EQ(m_window->labelCurrentInfo->text(), "0/2");  // the failed file's position
  EXPECT_TRUE(m_window->FReady);
  EXPECT_FALSE(m_window->Converting());
  EXPECT_EQ(m_window->buttonConvert->text(), "Convert");
  // The next Convert starts a new run from the first entry.
  SetOutput(m_out);
  Convert();
  EXPECT_TRUE(fs::exists(m_out / "hopper.jpg"));
  EXPECT_TRUE(fs::exists(m_out / "cat.jpg"));
}

TEST_F(MainWindowTest, UnreadableFileIsNotWrittenAndIsCountedAtTheEnd) {
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  WriteFile(m_root / "in" / "garbage.jpg", std::string(300, 'x'));
  Add(Sample("hopper.jpg"));
  Add(m_root / "in" / "garbage.jpg");
  Add(test::TestDataDir() / "jpeg" / "bad" / "broken-sos-before-sof.jpg");
  Add(Sample("cat.jpg"));
  SetOutput(m_out);
  ModalAnswerer answer;
  Convert();
  EXPECT_TRUE(m_errors.isEmpty()) << m_errors.join('\n').toStdString();
  EXPECT_FALSE(fs::exists(m_out / "garbage.jpg"));
  EXPECT_FALSE(fs::exists(m_out / "broken-sos-before-sof.jpg"));
  EXPECT_EQ(ParseJpeg(ReadFile(m_out / "hopper.jpg")).width, 1024);
  // cat.jpg follows the unreadable files: it is written from its own pixels and size.
  const JpegInfo cat = ParseJpeg(ReadFile(m_out / "cat.jpg"));
  EXPECT_EQ(cat.height, 768);
  ASSERT_EQ(answer.boxTexts.size(), 1);
  EXPECT_EQ(answer.boxTexts[0], "Done.\n\nOpen?\n\nUnread: 2");
}

TEST_F(MainWindowTest, OverwriteChoicesOverSeveralExistingTargets) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* name;
    const char* button;  // objectName of the button pressed, "" for the close box
    bool applyToAll;
    int asksFirstRun;
    int asksSecondRun;
    bool replaced;   // the existing targets were overwritten
    bool autoNamed;  // a(1).jpg and so on were written
  };
  const Case cases[] = {
      {"overwrite once", "buttonOverWrite", false, 3, 3, true, false},
      {"overwrite all", "buttonOverWrite", true, 1, 0, true, false},
      {"ignore once", "buttonIgnore", false, 3, 3, false, false},
      {"ignore all", "buttonIgnore", true, 1, 0, false, false},
      {"auto-name once", "buttonAutoName", false, 3, 3, false, true},
      {"auto-name all", "buttonAutoName", true, 1, 0, false, true},
      {"close box", "", false, 3, 3, false, false},
  };
  const char* names[] = {"hopper.jpg", "cat.jpg", "test.jpg"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    fs::remove_all(m_out);
    fs::create_directories(m_out);
    for (const char* n : names) {
      Add(Sample(n));
      WriteFile(m_out / n, "old");
    }
    SetOutput(m_out);
    ModalAnswerer answer;
    answer.onOverWrite = [&](TfrmOverWrite& dialog) {
      dialog.checkBoxNotice->setChecked(c.applyToAll);
      if (*c.button)
        dialog.findChild<QPushButton*>(c.button)->click();
      else
        dialog.close();
    };
    Convert();
    EXPECT_EQ(answer.overWriteCount, c.asksFirstRun);
    for (const char* n : names) {
      SCOPED_TRACE(n);
      EXPECT_EQ(ReadFile(m_out / n) != "old", c.replaced);
      std::string stem(n);
      stem.resize(stem.size() - 4);
      EXPECT_EQ(fs::exists(m_out / (stem + "(1).jpg")), c.autoNamed);
    }
    // A remembered answer holds for the next run; a one-time answer asks again.
    for (const char* n : names) WriteFile(m_out / n, "old");
    answer.overWriteCount = 0;
    Convert();
    EXPECT_EQ(answer.overWriteCount, c.asksSecondRun);
    m_window.reset();
  }
}

TEST_F(MainWindowTest, EnterInTheFileExistsDialogChoosesAutoName) {
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  Add(Sample("hopper.jpg"));
  WriteFile(m_out / "hopper.jpg", "old");
  WriteFile(m_out / "hopper(1).jpg", "old");
  SetOutput(m_out);
  ModalAnswerer answer;
  answer.onOverWrite = [](TfrmOverWrite& dialog) {
    QTest::keyClick(&dialog, Qt::Key_Return);
  };
  Convert();
  EXPECT_EQ(answer.overWriteCount, 1);
  EXPECT_EQ(ReadFile(m_out / "hopper.jpg"), "old");
  EXPECT_EQ(ReadFile(m_out / "hopper(1).jpg"), "old");
  EXPECT_EQ(ParseJpeg(ReadFile(m_out / "hopper(1)(1).jpg")).width, 1024);
}

TEST_F(MainWindowTest, ConvertDuringARunStopsItAfterTheCurrentFile) {
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  for (const char* n : {"hopper.jpg", "cat.jpg", "test.jpg"}) Add(Sample(n));
  SetOutput(m_out);
  QString captionDuringRun;
  QTimer clicker;
  clicker.setInterval(0);
  QObject::connect(&clicker, &QTimer::timeout, [&] {
    if (m_window->Converting() && captionDuringRun.isEmpty()) {
      captionDuringRun = m_window->buttonConvert->text();
      m_window->buttonConvert->click();
    }
  });
  clicker.start();
  ModalAnswerer answer;
  Convert();
  clicker.stop();
  EXPECT_EQ(captionDuringRun, "Stop");
  EXPECT_EQ(m_window->buttonConvert->text(), "Convert");
  EXPECT_TRUE(answer.boxTexts.isEmpty());  // a stopped run shows no finish prompt
  EXPECT_EQ(m_window->labelCurrentInfo->text(), "Ready");
  EXPECT_TRUE(fs::exists(m_out / "hopper.jpg"));  // the current file was finished
  EXPECT_FALSE(fs::exists(m_out / "cat.jpg"));
  EXPECT_FALSE(fs::exists(m_out / "test.jpg"));
  // The program is ready again: the next Convert runs the whole list.
  EXPECT_TRUE(m_window->FReady);
  fs::remove(m_out / "hopper.jpg");
  Convert();
  for (const char* n : {"hopper.jpg", "cat.jpg", "test.jpg"}) EXPECT_TRUE(fs::exists(m_out / n));
  EXPECT_EQ(answer.boxTexts.size(), 1);
}

TEST_F(MainWindowTest, EditsAndClicksDuringARunDoNotChangeWhatItConverts) {
  LUMAPREP_REQUIRE_TESTDATA();
  Start();
  const char* names[] = {"hopper.jpg", "cat.jpg", "testorig.jpg"};
  for (const char* n : names) Add(Sample(n));
  Add(Sample("flower.jpg"));
  SetOutput(m_out);
  QTimer meddler;
  meddler.setInterval(0);
  int ticks = 0;
  QObject::connect(&meddler, &QTimer::timeout, [&] {
    if (!m_window->Converting()) return;
    ++ticks;
    // A click on the last entry would load flower.jpg into the run's buffer.
    QTreeWidget* list = m_window->listViewFiles;
    if (list->topLevelItemCount() > 0) {
      list->clearSelection();
      list->topLevelItem(list->topLevelItemCount() - 1)->setSelected(true);
      m_window->listViewFilesClick();
      if (ticks == 3) {
        list->topLevelItem(0)->setSelected(true);
        m_window->MoveFileDown();
      }
      if (ticks == 5) m_window->DeleteSelectedFiles();
      if (ticks == 7) list->clear();
    }
  });
  meddler.start();
  ModalAnswerer answer;
  Convert();
  meddler.stop();
  EXPECT_GE(ticks, 4);  // pending events were processed between the steps
  const std::pair<const char*, int> heights[] = {
      {"hopper.jpg", 1024}, {"cat.jpg", 768}, {"testorig.jpg", 672}, {"flower.jpg", 768}};
  for (const auto& [name, height] : heights) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ParseJpeg(ReadFile(m_out / name)).height, height);
  }
}

TEST_F(MainWindowTest, StatusPatternThatTakesNoTextEndsTheRunBeforeTheFirstFile) {
  LUMAPREP_REQUIRE_TESTDATA();
  std::string language = kTestLanguage;
  language.replace(language.find("msgStatusRun=%s"), 15, "msgStatusRun=%d");
  WriteFile(m_program / "language" / "en.ini", language);
  Start();
  Add(Sample("hopper.jpg"));
  SetOutput(m_out);
  ModalAnswerer answer;
  Convert();
  ASSERT_EQ(m_errors.size(), 1);
  EXPECT_EQ(m_errors[0], "Format '%d' invalid or incompatible with argument");
  EXPECT_TRUE(fs::is_empty(m_out));
  EXPECT_TRUE(answer.boxTexts.isEmpty());
}

}  // namespace
}  // namespace lumaprep
