// The control window: the operator's fields, the Connect button, the two status labels and
// the shutdown timer, laid out in two columns (Telnet side left, server side right). All
// behaviour lives in the controller; the window copies its fields in and shows its states.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>

#include "app/controller.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace velmar::app {

class FrmVelmar : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 445;
  static constexpr int kClientHeight = 229;

  explicit FrmVelmar(ControllerSettings settings = {}, QWidget* parent = nullptr);
  ~FrmVelmar() override;

  Controller& controller() { return *controller_; }

  // How a failed number conversion or a bad users file is reported; the toolkit's standard
  // error box by default.
  void setErrorReporter(std::function<void(const QString&)> reporter) {
    reportError_ = std::move(reporter);
  }

  // How the users file is asked for when the "Usermanagement" box is checked and none was
  // given (a file dialog by default); an empty answer leaves the box unchecked.
  void setUsersFileChooser(std::function<QString()> chooser) {
    chooseUsersFile_ = std::move(chooser);
  }

  // Switches user management on with the users file at `path` (as --users does), or shows
  // the error box and leaves it off; true when it is on.
  bool EnableUsers(const QString& path);

 public slots:
  void BtnConnectClick();
  void TimerShutdownTimer();
  // The "Usermanagement" box: checked asks for the users file (or takes the one given
  // before) and switches the login on for connections opened afterwards; unchecked off.
  void CheckBox1Click(bool checked);

 private:
  void FormCreate();
  void showState(DisplayItem item, const DisplayState& state);
  void showUsermanagement(bool enabled);
  static void styleStatusLabel(QLabel* label);
  static void setColor(QLabel* label, StatusColor color);

  std::unique_ptr<Controller> controller_;
  std::function<void(const QString&)> reportError_;
  std::function<QString()> chooseUsersFile_;
  QString usersFile_;

  QLabel* lblStatus_;
  QLabel* lblHost_;
  QLineEdit* edtHost_;
  QLabel* lblPort_;
  QLineEdit* edtPort_;
  QLabel* lblUsername_;
  QLineEdit* edtUsername_;
  QLabel* label1_;
  QLineEdit* edtPassword_;
  QLabel* lblIPSVersion_;
  QPushButton* btnConnect_;
  QLabel* lblTelnet_;
  QLabel* label2_;
  QLineEdit* edtTelnetPort_;
  QLabel* label4_;
  QCheckBox* checkBox1_;
  QLabel* label3_;
  QLineEdit* edtConsoleChars_;
  QTimer* timerShutdown_;
};

}  // namespace velmar::app
