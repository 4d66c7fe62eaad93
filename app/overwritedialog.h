#pragma once
// TfrmOverWrite: the question shown when a target file already exists. Overwrite, skip
// (ignore) or write under a free name (auto-name, the default button); the check box makes
// the answer stand for every later clash until the program ends.
#include <QDialog>

#include "app/job/overwrite.h"
#include "app/services.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace lumaprep {

class TfrmOverWrite : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmOverWrite(QWidget* parent = nullptr);

  // The code of the last button pressed. Closing the dialog without a button (close box,
  // Esc) sets owIgnore: this file is skipped and the next clash asks again.
  TOverWriteChoice Choice() const { return m_choice; }

  // Shows the dialog modally and returns Choice().
  TOverWriteChoice Ask();

  // Section "frmOverWrite" of the language file.
  void ApplyLanguage(const LanguageLookup& text);

  QLabel* labelDes;
  QPushButton* buttonOverWrite;
  QPushButton* buttonIgnore;
  QPushButton* buttonAutoName;
  QCheckBox* checkBoxNotice;

  void buttonOverWriteClick();
  void buttonIgnoreClick();
  void buttonAutoNameClick();

  // The close box and Esc.
  void reject() override;

 private:
  void createControls();
  void connectSignals();
  void choose(TOverWriteButton button, int modalResult);

  TOverWriteChoice m_choice = owIgnore;
};

// The single instance, created at start-up after the main window.
extern TfrmOverWrite* frmOverWrite;

}  // namespace lumaprep
