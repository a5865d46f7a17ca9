// velmar-gui: the control window. Closing it ends the program; the listener is switched off
// on the way out, which closes every Telnet connection.
#include <QApplication>
#include <QStringList>

#include "api/json_rpc.h"
#include "app/gui/frm_velmar.h"
#include "platform/open_files.h"

int main(int argc, char** argv) {
  // The API client module is ready before the window exists: settings reset, and the main
  // thread's HTTP client.
  velmar::api::InitializeRPCModule();
  constexpr int kParallelRequests = 4;
  velmar::api::SetConnectionUse({.reuse = true, .parallel = kParallelRequests});
  // Every connection needs descriptors; the usual soft limit of 1024 would serve only a few
  // hundred.
  velmar::platform::RaiseOpenFileLimit();
  velmar::app::ControllerSettings settings;
  settings.serverDescriptorsPerSession =
      velmar::app::ServerDescriptorsPerSession(kParallelRequests, false);
  int status = 0;
  {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmar"));
    velmar::app::FrmVelmar frmVelmar(settings);
    // --users FILE: user management on from the start (a bad file shows the error box).
    const QStringList arguments = QApplication::arguments();
    const qsizetype users = arguments.indexOf(QStringLiteral("--users"));
    if (users > 0 && users + 1 < arguments.size()) frmVelmar.EnableUsers(arguments[users + 1]);
    frmVelmar.show();
    status = QApplication::exec();
  }
  velmar::api::FinalizeRPCModule();
  return status;
}
