#include "app/gui/frm_velmar.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPalette>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QThread>
#include <QTimer>

#include "text/encoding.h"

namespace velmar::app {
namespace {

std::u16string FromQt(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<std::size_t>(text.size()));
}

QString ToQt(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// Geometry of the two columns: rows 28 pixels apart below the status line.
constexpr int kLeftLabelX = 8, kLeftEditX = 122, kLeftEditWidth = 90;
constexpr int kRightLabelX = 228, kRightEditX = 300, kRightEditWidth = 137;
constexpr int kFirstRowY = 44, kRowStep = 28, kEditHeight = 21, kLabelHeight = 21;

int RowY(int row) {
  return kFirstRowY + row * kRowStep;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, int x, int y,
                  int width) {
  auto* label = new QLabel(caption, parent);
  label->setObjectName(name);
  label->setGeometry(x, y, width, kLabelHeight);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QString& text, int x, int y, int width,
                    bool digitsOnly) {
  auto* edit = new QLineEdit(text, parent);
  edit->setObjectName(name);
  edit->setGeometry(x, y, width, kEditHeight);
  if (digitsOnly) {
    // Typed digits only; the field may still be left empty.
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  }
  return edit;
}

}  // namespace

FrmVelmar::FrmVelmar(ControllerSettings settings, QWidget* parent)
    : QWidget(parent), controller_(std::make_unique<Controller>(std::move(settings))) {
  setWindowTitle(QStringLiteral("Velmar Telnet Service"));
  setFixedSize(kClientWidth, kClientHeight);
  setFont(QFont(QStringLiteral("Tahoma"), 8));

  const Fields& initial = controller_->fields();

  // Left column: the Telnet side.
  lblTelnet_ = new QLabel(QStringLiteral("Offline"), this);
  lblTelnet_->setObjectName("LblTelnet");
  lblTelnet_->setTextFormat(Qt::PlainText);
  lblTelnet_->setGeometry(kLeftLabelX, 10, kLeftEditX + kLeftEditWidth - kLeftLabelX, 20);
  styleStatusLabel(lblTelnet_);
  label2_ = MakeLabel(this, "Label2", QStringLiteral("Telnet Port:"), kLeftLabelX, RowY(0), 112);
  edtTelnetPort_ = MakeEdit(this, "EdtTelnetPort", ToQt(initial.telnetPort), kLeftEditX, RowY(0),
                            kLeftEditWidth, true);
  label4_ = MakeLabel(this, "Label4", QStringLiteral("Usermanagement:"), kLeftLabelX, RowY(1), 112);
  checkBox1_ = new QCheckBox(QStringLiteral("  Disabled"), this);
  checkBox1_->setObjectName("CheckBox1");
  checkBox1_->setGeometry(kLeftEditX, RowY(1), kLeftEditWidth, kEditHeight);
  checkBox1_->setChecked(false);
  connect(checkBox1_, &QCheckBox::clicked, this, &FrmVelmar::CheckBox1Click);
  label3_ =
      MakeLabel(this, "Label3", QStringLiteral("Console charcount:"), kLeftLabelX, RowY(2), 112);
  edtConsoleChars_ =
      MakeEdit(this, "EdtConsoleChars", QString(), kLeftEditX, RowY(2), kLeftEditWidth, true);

  // Right column: the server side.
  lblStatus_ = new QLabel(QStringLiteral("Disconected"), this);
  lblStatus_->setObjectName("LblStatus");
  lblStatus_->setTextFormat(Qt::PlainText);
  lblStatus_->setGeometry(kRightLabelX, 10, kRightEditX + kRightEditWidth - kRightLabelX, 20);
  styleStatusLabel(lblStatus_);
  lblHost_ = MakeLabel(this, "LblHost", QStringLiteral("Host:"), kRightLabelX, RowY(0), 70);
  edtHost_ =
      MakeEdit(this, "EdtHost", ToQt(initial.host), kRightEditX, RowY(0), kRightEditWidth, false);
  lblPort_ = MakeLabel(this, "LblPort", QStringLiteral("Port:"), kRightLabelX, RowY(1), 70);
  edtPort_ =
      MakeEdit(this, "EdtPort", ToQt(initial.port), kRightEditX, RowY(1), kRightEditWidth, true);
  lblUsername_ =
      MakeLabel(this, "LblUsername", QStringLiteral("Username:"), kRightLabelX, RowY(2), 70);
  edtUsername_ = MakeEdit(this, "EdtUsername", ToQt(initial.username), kRightEditX, RowY(2),
                          kRightEditWidth, false);
  label1_ = MakeLabel(this, "Label1", QStringLiteral("Password:"), kRightLabelX, RowY(3), 70);
  edtPassword_ = MakeEdit(this, "EdtPassword", ToQt(initial.password), kRightEditX, RowY(3),
                          kRightEditWidth, false);
  edtPassword_->setEchoMode(QLineEdit::Password);
  edtPassword_->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // "*"
  lblIPSVersion_ = new QLabel(QStringLiteral("LblIPSVersion"), this);
  lblIPSVersion_->setObjectName("LblIPSVersion");
  // The version comes from the server: shown as text, never read as rich text.
  lblIPSVersion_->setTextFormat(Qt::PlainText);
  lblIPSVersion_->setGeometry(kRightLabelX, RowY(4) + 4,
                              kRightEditX + kRightEditWidth - kRightLabelX, kLabelHeight);
  lblIPSVersion_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  btnConnect_ = new QPushButton(QStringLiteral("Connect"), this);
  btnConnect_->setObjectName("BtnConnect");
  btnConnect_->setGeometry(kRightEditX + kRightEditWidth - 90, kClientHeight - 8 - 27, 90, 27);
  connect(btnConnect_, &QPushButton::clicked, this, &FrmVelmar::BtnConnectClick);

  // Focus order: the button first, then the Telnet side, then the server side.
  setTabOrder(btnConnect_, edtTelnetPort_);
  setTabOrder(edtTelnetPort_, checkBox1_);
  setTabOrder(checkBox1_, edtConsoleChars_);
  setTabOrder(edtConsoleChars_, edtHost_);
  setTabOrder(edtHost_, edtPort_);
  setTabOrder(edtPort_, edtUsername_);
  setTabOrder(edtUsername_, edtPassword_);
  btnConnect_->setFocus();

  timerShutdown_ = new QTimer(this);
  timerShutdown_->setObjectName("TimerShutdown");
  connect(timerShutdown_, &QTimer::timeout, this, &FrmVelmar::TimerShutdownTimer);

  reportError_ = [this](const QString& message) {
    QMessageBox::critical(this, QStringLiteral("Velmar"), message);
  };
  chooseUsersFile_ = [this] {
    return QFileDialog::getOpenFileName(this, QStringLiteral("Users file"));
  };
  controller_->setObserver([this](DisplayItem item, const DisplayState& state) {
    // A failed listener reports from its own thread; the widgets live on this one.
    if (QThread::currentThread() == thread()) {
      showState(item, state);
    } else {
      QMetaObject::invokeMethod(
          this, [this, item, state] { showState(item, state); }, Qt::QueuedConnection);
    }
  });
  FormCreate();
}

FrmVelmar::~FrmVelmar() = default;

void FrmVelmar::FormCreate() {
  controller_->FormCreate();
  edtConsoleChars_->setText(ToQt(controller_->fields().consoleChars));
  const auto interval = controller_->settings().shutdownInterval;
  if (interval.count() > 0) {
    timerShutdown_->setInterval(static_cast<int>(std::min<long long>(interval.count(), INT32_MAX)));
    timerShutdown_->start();
  }
}

void FrmVelmar::BtnConnectClick() {
  Fields& fields = controller_->fields();
  fields.host = FromQt(edtHost_->text());
  fields.port = FromQt(edtPort_->text());
  fields.username = FromQt(edtUsername_->text());
  fields.password = FromQt(edtPassword_->text());
  fields.telnetPort = FromQt(edtTelnetPort_->text());
  fields.consoleChars = FromQt(edtConsoleChars_->text());
  ConnectResult result = controller_->BtnConnectClick();
  switch (result.outcome) {
    case ConnectOutcome::TelnetPortInvalid:
    case ConnectOutcome::ConsoleCharsInvalid:
      // A number that cannot be read is reported like any conversion failure.
      if (reportError_) reportError_(QString::fromStdString(result.message) + ".");
      break;
    default:
      // The window reports nothing else: the states it shows say what happened.
      break;
  }
}

void FrmVelmar::TimerShutdownTimer() {
  controller_->TimerShutdownTimer();
}

void FrmVelmar::CheckBox1Click(bool checked) {
  if (!checked) {
    controller_->access().SetUsers(nullptr);
    showUsermanagement(false);
    return;
  }
  const QString path = usersFile_.isEmpty() && chooseUsersFile_ ? chooseUsersFile_() : usersFile_;
  if (path.isEmpty()) {
    showUsermanagement(false);
    return;
  }
  EnableUsers(path);
}

bool FrmVelmar::EnableUsers(const QString& path) {
  const std::string error = access::ReloadUsers(controller_->access(), path.toStdString());
  if (!error.empty()) {
    showUsermanagement(false);
    if (reportError_) reportError_(QString::fromStdString(error));
    return false;
  }
  usersFile_ = path;
  showUsermanagement(true);
  return true;
}

void FrmVelmar::showUsermanagement(bool enabled) {
  checkBox1_->setChecked(enabled);
  checkBox1_->setText(enabled ? QStringLiteral("  Enabled") : QStringLiteral("  Disabled"));
}

void FrmVelmar::showState(DisplayItem item, const DisplayState& state) {
  switch (item) {
    case DisplayItem::Status:
      lblStatus_->setText(ToQt(state.status));
      setColor(lblStatus_, state.statusColor);
      break;
    case DisplayItem::Telnet:
      lblTelnet_->setText(ToQt(state.telnet));
      setColor(lblTelnet_, state.telnetColor);
      break;
    case DisplayItem::Version:
      lblIPSVersion_->setText(ToQt(state.version));
      break;
    case DisplayItem::ConnectButton:
      btnConnect_->setEnabled(state.connectEnabled);
      break;
  }
}

void FrmVelmar::styleStatusLabel(QLabel* label) {
  QFont font(QStringLiteral("Tahoma"), 10);
  font.setBold(true);
  label->setFont(font);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  setColor(label, StatusColor::DarkRed);
}

void FrmVelmar::setColor(QLabel* label, StatusColor color) {
  const Rgb rgb = ToRgb(color);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(rgb.red, rgb.green, rgb.blue));
  label->setPalette(palette);
}

}  // namespace velmar::app
