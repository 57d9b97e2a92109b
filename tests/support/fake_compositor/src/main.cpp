// fake-compositor --socket PATH --scenario FILE_OR_JSON --record FILE
//
// Prints "ready" once it listens, appends every record to FILE as one JSON
// line, and exits with status 0 on SIGTERM or SIGINT, removing its socket.
#include <csignal>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "fake_compositor/fake_compositor.hpp"

namespace {

struct Arguments {
  std::string socket;
  std::string scenario;
  std::string record;
};

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "fake-compositor: " << problem << "\n"
            << "usage: fake-compositor --socket PATH [--scenario FILE_OR_JSON] [--record FILE]\n";
  std::exit(2);
}

Arguments parse_arguments(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    std::string_view flag = argv[i];
    std::string* target = flag == "--socket"     ? &arguments.socket
                           : flag == "--scenario" ? &arguments.scenario
                           : flag == "--record"   ? &arguments.record
                                                  : nullptr;
    if (target == nullptr) usage("unknown argument " + std::string(flag));
    if (i + 1 >= argc) usage("missing value after " + std::string(flag));
    *target = argv[++i];
  }
  if (arguments.socket.empty()) usage("--socket is required");
  return arguments;
}

// Inline JSON starts with a brace; anything else names a file.
nlohmann::json load_scenario(const std::string& text) {
  if (text.empty()) return nlohmann::json::object();
  std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && text[first] == '{') return nlohmann::json::parse(text);
  std::ifstream file(text);
  if (!file) throw std::runtime_error("cannot read the scenario file " + text);
  return nlohmann::json::parse(file);
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments = parse_arguments(argc, argv);

  // Blocked before any thread starts, so that only sigwait below sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  try {
    std::ofstream record_file;
    if (!arguments.record.empty()) {
      record_file.open(arguments.record, std::ios::app);
      if (!record_file) throw std::runtime_error("cannot open the record file " + arguments.record);
    }
    kestrin::fake::Options options;
    options.socket_path = arguments.socket;
    if (record_file.is_open()) {
      options.on_record = [&record_file](const kestrin::fake::Record& record) {
        record_file << record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        record_file.flush();
      };
    }
    kestrin::fake::FakeCompositor compositor(load_scenario(arguments.scenario), std::move(options));
    std::cout << "ready" << std::endl;

    int signal = 0;
    sigwait(&stop_signals, &signal);
  } catch (const std::exception& error) {
    std::cerr << "fake-compositor: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
