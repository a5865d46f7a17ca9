// velmar-sim: runs the simulated IP-Symcon server until SIGINT or SIGTERM.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <iostream>

#include "sim/simulator.h"

int main(int argc, char** argv) {
  velmar::sim::SimulatorOptions options;
  options.port = 3777;
  options.liveSeconds = 5;
  CLI::App app{"Simulated IP-Symcon server: the JSON-RPC API at http://ADDR:PORT/api/",
               "velmar-sim"};
  app.add_option("--port", options.port, "TCP port (0 picks a free one)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app.add_option("--bind", options.bind, "Address to listen on")->capture_default_str();
  app.add_option("--tree", options.treeFile, "Object tree file (default: the built-in demo home)")
      ->check(CLI::ExistingFile);
  auto* user = app.add_option("--username", options.username, "Require Basic credentials: user");
  auto* pass =
      app.add_option("--password", options.password, "Require Basic credentials: password");
  user->needs(pass);
  pass->needs(user);
  app.add_flag("--escape-unicode", options.escapeUnicode,
               "Send non-ASCII characters as \\u escapes instead of raw UTF-8");
  app.add_option("--kernel-version", options.kernelVersion, "Answer of IPS_GetKernelVersion")
      ->capture_default_str();
  app.add_option("--kernel-start", options.kernelStart,
                 "Answer of IPS_GetKernelStartTime, Unix seconds (default: now)");
  app.add_option("--threads", options.threads, "Most worker threads (one per open connection)")
      ->capture_default_str()
      ->check(CLI::Range(1, 4096));
  app.add_option("--live-seconds", options.liveSeconds,
                 "Seconds between live changes of the logged variables (0 = none)")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 86400.0));
  CLI11_PARSE(app, argc, argv);

  // Block the stop signals before any thread starts, so that only sigwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  velmar::sim::Simulator simulator(options);
  try {
    simulator.start();
  } catch (const std::exception& e) {
    std::cerr << "velmar-sim: " << e.what() << std::endl;
    return 1;
  }
  std::cout << "velmar-sim listening on http://" << options.bind << ":" << simulator.port()
            << "/api/" << std::endl;

  int received = 0;
  sigwait(&stopSignals, &received);
  simulator.stop();
  return 0;
}
