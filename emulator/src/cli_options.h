// Command-line options of the emulator and of the TCP bridge.
#ifndef EMU_CLI_OPTIONS_H
#define EMU_CLI_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "emu_config.h"

namespace emu {

struct EmulatorOptions {
  std::string port = "LPT1";
  EmuConfig cfg;
  std::string trace = "-";  // file name, "-" for standard output, "" for none
  uint32_t seconds = 0;     // 0: until interrupted
  bool summary = true;      // books, service counters and violations at the end
  std::string ready_file;   // written once attached to the wire, removed at the end
  std::string stop_file;    // the run ends once this file exists
};

struct BridgeOptions {
  std::string port = "LPT1";
  bool listen = true;
  std::string host = "127.0.0.1";
  uint16_t tcp_port = 0;  // 0 with --listen: any free port (printed)
  std::string device_id = kDefaultDeviceId;
  int id_length = -1;
  uint32_t capabilities = 4;
  bool once = false;  // listen: serve one connection only
  std::string trace = "-";
  uint32_t seconds = 0;
};

// Device-ID faults accepted wherever faults are: "idnomlc", "idlen=N", "noecp".
bool ApplyDeviceFault(const std::string& text, std::string* device_id, int* id_length,
                      uint32_t* capabilities);

// True when "--help" or "-h" is among the arguments, wherever it stands.
bool WantsHelp(const std::vector<std::string>& args);

bool ParseEmulatorArgs(const std::vector<std::string>& args, EmulatorOptions* out,
                       std::string* error);
bool ParseBridgeArgs(const std::vector<std::string>& args, BridgeOptions* out, std::string* error);
extern const char kEmulatorUsage[];
extern const char kBridgeUsage[];

}  // namespace emu

#endif
