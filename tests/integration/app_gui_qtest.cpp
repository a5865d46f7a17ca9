// The control window on Qt's offscreen platform against the simulated server in-process.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QValidator>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "access/password.h"
#include "api/json_rpc.h"
#include "app/gui/frm_velmar.h"
#include "core/error.h"
#include "sim/simulator.h"
#include "support/hostile_server.h"
#include "support/telnet_client.h"
#include "text/console_layout.h"

namespace velmar::app {
namespace {

using namespace std::chrono_literals;

const QColor kDarkRed(128, 0, 0);
const QColor kGreen(0, 128, 0);

// Runs the event loop until `done` holds or the deadline passes.
bool ProcessEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    api::InitializeRPCModule();
    text::gConsoleChars.store(80);
    sim_.start();
  }

  std::unique_ptr<FrmVelmar> Make(std::chrono::milliseconds interval = 600000ms) {
    ControllerSettings settings;
    settings.shutdownInterval = interval;
    settings.listenAddresses = {"127.0.0.1"};
    auto window = std::make_unique<FrmVelmar>(settings);
    window->setErrorReporter([this](const QString& message) { errors_.push_back(message); });
    window->show();
    return window;
  }

  // Points the window at the simulator and an ephemeral Telnet port, leaving the rest as is.
  void Aim(FrmVelmar& window) {
    Edit(window, "EdtPort")->setText(QString::number(sim_.port()));
    Edit(window, "EdtTelnetPort")->setText(QStringLiteral("0"));
  }

  static QLineEdit* Edit(FrmVelmar& window, const char* name) {
    return window.findChild<QLineEdit*>(name);
  }
  static QLabel* Label(FrmVelmar& window, const char* name) {
    return window.findChild<QLabel*>(name);
  }
  static QPushButton* Button(FrmVelmar& window) {
    return window.findChild<QPushButton*>("BtnConnect");
  }
  static QColor TextColor(QLabel* label) { return label->palette().color(QPalette::WindowText); }

  sim::Simulator sim_;
  QStringList errors_;
};

TEST_F(GuiTest, WindowShowsItsFieldsAndInitialStates) {
  auto window = Make();
  EXPECT_EQ(window->windowTitle(), "Velmar Telnet Service");
  EXPECT_EQ(window->size(), QSize(445, 229));

  struct Caption {
    const char* name;
    const char* text;
  };
  for (const Caption& c : {Caption{"LblHost", "Host:"}, Caption{"LblPort", "Port:"},
                           Caption{"LblUsername", "Username:"}, Caption{"Label1", "Password:"},
                           Caption{"Label2", "Telnet Port:"}, Caption{"Label4", "Usermanagement:"},
                           Caption{"Label3", "Console charcount:"}, Caption{"LblIPSVersion", ""},
                           Caption{"LblStatus", "Disconected"}, Caption{"LblTelnet", "Offline"}}) {
    ASSERT_NE(Label(*window, c.name), nullptr) << c.name;
    EXPECT_EQ(Label(*window, c.name)->text(), c.text) << c.name;
  }
  for (const Caption& c : {Caption{"EdtHost", "127.0.0.1"}, Caption{"EdtPort", "3777"},
                           Caption{"EdtUsername", ""}, Caption{"EdtPassword", ""},
                           Caption{"EdtTelnetPort", "23"}, Caption{"EdtConsoleChars", "80"}}) {
    ASSERT_NE(Edit(*window, c.name), nullptr) << c.name;
    EXPECT_EQ(Edit(*window, c.name)->text(), c.text) << c.name;
  }
  EXPECT_EQ(Edit(*window, "EdtPassword")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(Button(*window)->text(), "Connect");
  EXPECT_TRUE(Button(*window)->isEnabled());

  auto* checkBox = window->findChild<QCheckBox*>("CheckBox1");
  ASSERT_NE(checkBox, nullptr);
  EXPECT_EQ(checkBox->text(), "  Disabled");
  EXPECT_FALSE(checkBox->isChecked());
  EXPECT_TRUE(checkBox->isEnabled());

  for (const char* name : {"LblStatus", "LblTelnet"}) {
    QLabel* label = Label(*window, name);
    EXPECT_TRUE(label->font().bold()) << name;
    EXPECT_EQ(label->font().pointSize(), 10) << name;
    EXPECT_TRUE(label->alignment() & Qt::AlignRight) << name;
    EXPECT_EQ(TextColor(label), kDarkRed) << name;
  }
  // The Telnet side stands left of the server side.
  EXPECT_LT(Label(*window, "LblTelnet")->x(), Label(*window, "LblStatus")->x());
  EXPECT_LT(Edit(*window, "EdtTelnetPort")->x(), Edit(*window, "EdtHost")->x());

  // Digits only, and empty is allowed.
  for (const char* name : {"EdtPort", "EdtTelnetPort", "EdtConsoleChars"}) {
    const QValidator* validator = Edit(*window, name)->validator();
    ASSERT_NE(validator, nullptr) << name;
    int pos = 0;
    for (QString text : {QString("12a"), QString("-1"), QString(" 1")})
      EXPECT_EQ(validator->validate(text, pos), QValidator::Invalid) << name;
    for (QString text : {QString("123"), QString("")})
      EXPECT_EQ(validator->validate(text, pos), QValidator::Acceptable) << name;
  }
  EXPECT_EQ(Edit(*window, "EdtHost")->validator(), nullptr);

  // Focus order: the button first, the Telnet side, then the server side.
  std::vector<QWidget*> expected = {Button(*window),
                                    Edit(*window, "EdtTelnetPort"),
                                    checkBox,
                                    Edit(*window, "EdtConsoleChars"),
                                    Edit(*window, "EdtHost"),
                                    Edit(*window, "EdtPort"),
                                    Edit(*window, "EdtUsername"),
                                    Edit(*window, "EdtPassword")};
  auto nextTabStop = [](QWidget* widget) {
    do {
      widget = widget->nextInFocusChain();
    } while (!(widget->focusPolicy() & Qt::TabFocus));
    return widget;
  };
  for (std::size_t i = 0; i + 1 < expected.size(); ++i)
    EXPECT_EQ(nextTabStop(expected[i]), expected[i + 1]) << i;

  auto* timer = window->findChild<QTimer*>("TimerShutdown");
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->isActive());
  EXPECT_EQ(timer->interval(), 600000);
  EXPECT_FALSE(timer->isSingleShot());
}

TEST_F(GuiTest, ServerVersionIsShownAsPlainInertText) {
  using velmar::testing::HostileReply;
  velmar::testing::HostileServer server([](const std::string&, const std::string&) {
    return HostileReply::Result(velmar::testing::JsonString("<b>6.4</b>\x1b]0;owned\x07<br>"));
  });
  auto window = Make();
  Edit(*window, "EdtPort")->setText(QString::number(server.port()));
  Edit(*window, "EdtTelnetPort")->setText(QStringLiteral("0"));
  Button(*window)->click();
  for (const char* name : {"LblIPSVersion", "LblStatus", "LblTelnet"})
    EXPECT_EQ(Label(*window, name)->textFormat(), Qt::PlainText) << name;
  EXPECT_EQ(
      Label(*window, "LblIPSVersion")->text(),
      QString::fromUtf8("IPS Version <b>6.4</b>\xEF\xBF\xBD]0;owned\xEF\xBF\xBD<br> detected."));
}

TEST_F(GuiTest, UsermanagementBoxSwitchesTheLoginForNewConnections) {
  char dir[] = "/tmp/velmar-gui-users-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string good = std::string(dir) + "/users", bad = std::string(dir) + "/bad";
  {
    std::ofstream(good) << "admin:10:" << access::HashPassword("pw", access::HashCost::Minimal)
                        << "\n";
    std::ofstream(bad) << "admin:10\n";
  }
  ::chmod(good.c_str(), 0600);
  ::chmod(bad.c_str(), 0600);

  auto window = Make();
  Aim(*window);
  Button(*window)->click();
  auto* checkBox = window->findChild<QCheckBox*>("CheckBox1");
  const std::uint16_t port = window->controller().listener().boundPort();
  QString chosen = QString::fromStdString(bad);
  window->setUsersFileChooser([&] { return chosen; });

  // A bad file: the error box, and the box stays unchecked.
  checkBox->click();
  EXPECT_FALSE(checkBox->isChecked());
  EXPECT_EQ(checkBox->text(), "  Disabled");
  ASSERT_EQ(errors_.size(), 1);
  EXPECT_TRUE(errors_[0].startsWith(QString::fromStdString(bad + ":1: expected NAME:LEVEL:HASH")))
      << errors_[0].toStdString();

  testing::TelnetClient before(port);  // opened while the box is off: stays the guest's
  before.readUntil("\x1b[36;1mIP-Symcon>\x1b[0m");

  chosen = QString::fromStdString(good);
  checkBox->click();
  EXPECT_TRUE(checkBox->isChecked());
  EXPECT_EQ(checkBox->text(), "  Enabled");
  testing::TelnetClient during(port);
  EXPECT_EQ(during.readUntil("Login: "),
            "Welcome to the IPS Terminal Server powered by Velmar v2.0.7\r\nLogin: ");
  during.send("admin\r\npw\r\n");
  EXPECT_NE(during.readUntil("\x1b[36;1m@IP-Symcon>\x1b[0m").find("You are logged in as admin."),
            std::string::npos);

  checkBox->click();
  EXPECT_FALSE(checkBox->isChecked());
  EXPECT_EQ(checkBox->text(), "  Disabled");
  testing::TelnetClient after(port);
  EXPECT_NE(after.readUntil("\x1b[36;1mIP-Symcon>\x1b[0m").find("You are logged in as guest."),
            std::string::npos);
  EXPECT_EQ(errors_.size(), 1);

  window.reset();
  std::remove(good.c_str());
  std::remove(bad.c_str());
  ::rmdir(dir);
}

TEST_F(GuiTest, OnePressConnectsAndServesTelnet) {
  auto window = Make();
  Aim(*window);
  Button(*window)->click();
  EXPECT_EQ(Label(*window, "LblIPSVersion")->text(), "IPS Version 6.4 detected.");
  EXPECT_EQ(Label(*window, "LblStatus")->text(), "Connected");
  EXPECT_EQ(TextColor(Label(*window, "LblStatus")), kGreen);
  EXPECT_EQ(Label(*window, "LblTelnet")->text(), "Online");
  EXPECT_EQ(TextColor(Label(*window, "LblTelnet")), kGreen);
  EXPECT_FALSE(Button(*window)->isEnabled());
  EXPECT_TRUE(errors_.isEmpty());

  testing::TelnetClient client(window->controller().listener().boundPort());
  std::string greeting = client.readUntil("\x1b[36;1mIP-Symcon>\x1b[0m");
  EXPECT_EQ(greeting.rfind("Welcome to the IPS Terminal Server powered by Velmar v", 0), 0u);
  EXPECT_NE(greeting.find("Have a lot of fun...\r\n\r\n"), std::string::npos);

  // Closing the window switches the listener off, which drops the client.
  window.reset();
  EXPECT_TRUE(client.waitClosed());
}

TEST_F(GuiTest, UnreachableServerChangesNothing) {
  auto window = Make();
  Aim(*window);
  Edit(*window, "EdtHost")->setText(QStringLiteral("no-such-host.invalid"));
  Button(*window)->click();
  EXPECT_EQ(Label(*window, "LblIPSVersion")->text(), "");
  EXPECT_EQ(Label(*window, "LblStatus")->text(), "Disconected");
  EXPECT_EQ(Label(*window, "LblTelnet")->text(), "Offline");
  EXPECT_TRUE(Button(*window)->isEnabled());
  EXPECT_TRUE(errors_.isEmpty());
}

TEST_F(GuiTest, EmptyNumberFieldsRaiseTheStandardErrorBox) {
  // The real box: it is found as the active modal window and read before it is closed.
  auto window = Make();
  window->setErrorReporter([&window](const QString& message) {
    QMessageBox::critical(window.get(), QStringLiteral("Velmar"), message);
  });
  QString shown;
  auto closeBox = [&shown] {
    QTimer::singleShot(0, [&shown] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        shown = box->text();
        box->accept();
      }
    });
  };
  Aim(*window);
  Edit(*window, "EdtTelnetPort")->clear();
  closeBox();
  Button(*window)->click();
  EXPECT_EQ(shown, "'' is not a valid integer value.");
  EXPECT_EQ(Label(*window, "LblStatus")->text(), "Connected");
  EXPECT_EQ(Label(*window, "LblTelnet")->text(), "Offline");

  shown.clear();
  Edit(*window, "EdtTelnetPort")->setText(QStringLiteral("0"));
  Edit(*window, "EdtConsoleChars")->clear();
  closeBox();
  Button(*window)->click();
  EXPECT_EQ(shown, "'' is not a valid integer value.");
  EXPECT_EQ(Label(*window, "LblTelnet")->text(), "Online");
  EXPECT_TRUE(Button(*window)->isEnabled());

  // A width beyond any terminal is refused the same way, and the width in use stays.
  shown.clear();
  Edit(*window, "EdtConsoleChars")->setText(QStringLiteral("2147483647"));
  closeBox();
  Button(*window)->click();
  EXPECT_EQ(shown, "'2147483647' is not a valid console width (at most 1000 characters).");
  EXPECT_EQ(text::gConsoleChars.load(), 80);
  EXPECT_TRUE(Button(*window)->isEnabled());
}

TEST_F(GuiTest, TimerFiringTurnsBothLabelsDarkRedAndDropsClients) {
  auto window = Make(300ms);
  Aim(*window);
  Button(*window)->click();
  ASSERT_EQ(Label(*window, "LblTelnet")->text(), "Online");
  testing::TelnetClient client(window->controller().listener().boundPort());
  client.readUntil("IP-Symcon>");

  ASSERT_TRUE(ProcessEventsUntil([&] { return Label(*window, "LblTelnet")->text() == "Offline"; }));
  EXPECT_EQ(Label(*window, "LblStatus")->text(), "Disconected");
  EXPECT_EQ(TextColor(Label(*window, "LblStatus")), kDarkRed);
  EXPECT_EQ(TextColor(Label(*window, "LblTelnet")), kDarkRed);
  EXPECT_EQ(Label(*window, "LblIPSVersion")->text(), "IPS Version 6.4 detected.");
  EXPECT_FALSE(Button(*window)->isEnabled());
  EXPECT_TRUE(client.waitClosed());
}

}  // namespace
}  // namespace velmar::app

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
