// velmar-gui-screenshots DIR: saves the control window before and after Connect as PNG files
// (DIR/velmar-gui-before.png, DIR/velmar-gui-after.png), against the simulated demo server
// in-process. Meant for the offscreen platform (QT_QPA_PLATFORM=offscreen).
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

#include <iostream>

#include "api/json_rpc.h"
#include "app/gui/frm_velmar.h"
#include "sim/simulator.h"

int main(int argc, char** argv) {
  velmar::api::InitializeRPCModule();
  QApplication application(argc, argv);
  const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  QDir().mkpath(dir);

  velmar::sim::Simulator server;
  server.start();

  velmar::app::ControllerSettings settings;
  settings.listenAddresses = {"127.0.0.1"};
  int status = 0;
  {
    velmar::app::FrmVelmar window(settings);
    window.show();
    QApplication::processEvents();
    const QString before = dir + QStringLiteral("/velmar-gui-before.png");
    const QString after = dir + QStringLiteral("/velmar-gui-after.png");
    if (!window.grab().save(before)) status = 1;

    window.findChild<QLineEdit*>("EdtPort")->setText(QString::number(server.port()));
    window.findChild<QLineEdit*>("EdtTelnetPort")->setText(QStringLiteral("2323"));
    // Shows the password mask; the demo server asks for no credentials.
    window.findChild<QLineEdit*>("EdtPassword")->setText(QStringLiteral("geheim"));
    window.findChild<QPushButton*>("BtnConnect")->click();
    QApplication::processEvents();
    if (!window.grab().save(after)) status = 1;
    std::cout << before.toStdString() << "\n" << after.toStdString() << std::endl;
  }
  server.stop();
  velmar::api::FinalizeRPCModule();
  return status;
}
