#include "cli_options.h"

#include <cstdlib>

namespace emu {

const char kEmulatorUsage[] =
    "usage: krzemu [options]\n"
    "  --port LPTn            port whose wire to attach to (LPT1)\n"
    "  --service P:KIND[:o]   socket P served by sink|echo|source|status|msgecho;\n"
    "                         options credit=N, drain=N|max (sink, bytes/s), store (sink),\n"
    "                         bytes=N (source), text=T (status), channels=N (open\n"
    "                         channels on this socket at once). Repeatable; default\n"
    "                         1:status 2:sink 3:echo 4:source\n"
    "  --fault FAULT          NAME[=ARGS][@WHEN], repeatable. Reply faults (no @WHEN):\n"
    "                         noreply=CMD late=CMD:MS badlen=CMD[:D] result=CMD[:V]\n"
    "                         unknown=CMD[:V] half=CMD|data split=CMD|data[:K[:MS]]\n"
    "                         Event faults: error=CODE nocredit oversize badpsid\n"
    "                         overflow debit=N creditreq[=N] unsupported[=V]\n"
    "                         badcredit[=hsid[:H]|psid[:P]] baddebit[=hsid[:H]|psid[:P]]\n"
    "                         msgcredit[=N] emptycmd shortlen[=L] nodrain stall detach\n"
    "                         Device: idnomlc idlen=N noecp\n"
    "                         CMD = init config open close credit creditreq exit [#N]\n"
    "                         WHEN = CMD[#N] | t=MS | bytes=N (see README)\n"
    "  --device-id TEXT       device ID text (length bytes are added)\n"
    "  --caps N               capability word (4 = ECP)\n"
    "  --max-htop N           largest whole packet accepted from the host (0x100C)\n"
    "  --max-ptoh N           largest whole packet sent to the host (0x100C)\n"
    "  --max-status N         highest status level granted (255)\n"
    "  --credit-request-flood MS  from the first open, MLC_CREDIT_REQUEST back to back\n"
    "                         for MS ms\n"
    "  --stream-before-init MS  filler bytes without pause until the host's first packet\n"
    "                         byte, for at most MS ms\n"
    "  --open-credit-only     credit in the open reply only; pings answered, no grants\n"
    "  --max-channels N       open channels before COMMAND_CHANNEL_MAXXED_OUT (16, at most 128)\n"
    "  --channels-per-socket N  open channels on one socket at once (1, at most 128)\n"
    "  --revision N           MLC revision in MLC_INIT_REPLY (3)\n"
    "  --piggyback            grant credit in the headers of outgoing data\n"
    "  --credit-request-ms N  ask for credit at most every N ms, 0 never (1000)\n"
    "  --data-on-credit       send the data a fresh MLC_CREDIT allows before its reply\n"
    "  --empty-credit         return credit only in the headers of empty data packets\n"
    "  --trace FILE|-|none    decoded wire trace (standard output)\n"
    "  --ready-file FILE      written once attached to the wire, removed at the end;\n"
    "                         standard output also gets the line \"krzemu: ready on LPTn\"\n"
    "  --seconds N            run N seconds (0: until interrupted)\n"
    "  --stop-file FILE       end (with the summary) once FILE exists\n"
    "  --no-summary           no books and violations at the end (standard output)\n"
    "  --help                 this text (anywhere on the command line)\n";

const char kBridgeUsage[] =
    "usage: krzbridge [options]\n"
    "  --port LPTn            port whose wire to attach to (LPT1)\n"
    "  --listen N | --connect N   TCP port to listen on (0: any) or connect to\n"
    "  --host ADDR            address to listen on or connect to (127.0.0.1)\n"
    "  --device-id TEXT       device ID text announced while a peer is connected\n"
    "  --caps N               capability word (4 = ECP)\n"
    "  --fault idnomlc|idlen=N|noecp\n"
    "  --once                 listen: serve one connection, then end\n"
    "  --trace FILE|-|none    decoded trace of the bridged packets (standard output)\n"
    "  --seconds N            run N seconds (0: until interrupted)\n"
    "  --help                 this text (anywhere on the command line)\n";

namespace {

bool Number(const std::string& s, int64_t lo, int64_t hi, int64_t* out);

// The printer behaviours that test the host's waits: 1 when args[*i] was
// one (*i then past its value), 0 when not, -1 on a bad value.
int ParseWaitOption(const std::vector<std::string>& args, size_t* i, EmuConfig* cfg,
                    std::string* error) {
  const std::string& a = args[*i];
  if (a == "--open-credit-only") {
    cfg->open_credit_only = true;
    return 1;
  }
  uint32_t* ms = a == "--credit-request-flood" ? &cfg->credit_request_flood_ms
                 : a == "--stream-before-init" ? &cfg->stream_before_init_ms
                                               : nullptr;
  if (!ms) return 0;
  int64_t n = 0;
  if (*i + 1 >= args.size() || !Number(args[*i + 1], 1, 0x7FFFFFFF, &n)) {
    *error = "bad value for " + a;
    return -1;
  }
  *ms = static_cast<uint32_t>(n);
  ++*i;
  return 1;
}

bool Number(const std::string& s, int64_t lo, int64_t hi, int64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (*end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ValidPort(const std::string& p) { return p == "LPT1" || p == "LPT2" || p == "LPT3"; }

}  // namespace

bool ApplyDeviceFault(const std::string& text, std::string* device_id, int* id_length,
                      uint32_t* capabilities) {
  int64_t n;
  if (text == "idnomlc") {
    *device_id = "MFG:Emulated;MDL:Plain Printer;CMD:PCL,PJL;CLS:PRINTER;";
  } else if (text == "noecp") {
    *capabilities = 0;
  } else if (text.rfind("idlen=", 0) == 0 && Number(text.substr(6), 0, 65535, &n)) {
    *id_length = static_cast<int>(n);
  } else {
    return false;
  }
  return true;
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

bool ParseEmulatorArgs(const std::vector<std::string>& args, EmulatorOptions* out,
                       std::string* error) {
  EmulatorOptions o;
  bool services_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    std::string v = has_value ? args[i + 1] : "";
    int64_t n = 0;
    auto bad = [&](const std::string& what) {
      *error = "bad value for " + a + ": " + what;
      return false;
    };
    if (a == "--data-on-credit") {
      o.cfg.data_on_credit = true;
      continue;
    }
    if (a == "--empty-credit") {
      o.cfg.empty_credit = true;
      continue;
    }
    if (a == "--piggyback") {
      o.cfg.piggyback = true;
      continue;
    }
    if (a == "--no-summary") {
      o.summary = false;
      continue;
    }
    int iWaitOption = ParseWaitOption(args, &i, &o.cfg, error);
    if (iWaitOption < 0) return false;
    if (iWaitOption > 0) continue;
    static const char* const kValued[] = {"--port",         "--service",
                                          "--fault",        "--device-id",
                                          "--caps",         "--max-htop",
                                          "--max-ptoh",     "--max-status",
                                          "--max-channels", "--channels-per-socket",
                                          "--ready-file",   "--stop-file",
                                          "--revision",     "--credit-request-ms",
                                          "--trace",        "--seconds"};
    bool valued = false;
    for (const char* k : kValued) valued = valued || a == k;
    if (!valued) {
      *error = "unknown argument " + a;
      return false;
    }
    if (!has_value) {
      *error = "missing value for " + a;
      return false;
    }
    ++i;
    if (a == "--port") {
      if (!ValidPort(v)) return bad(v);
      o.port = v;
    } else if (a == "--service") {
      ServiceSetup s;
      if (!ParseService(v, &s, error)) return false;
      if (!services_given) o.cfg.services.clear();
      services_given = true;
      o.cfg.services.push_back(s);
    } else if (a == "--fault") {
      Fault f;
      if (!ApplyDeviceFault(v, &o.cfg.device_id, &o.cfg.id_length, &o.cfg.capabilities)) {
        if (!ParseFault(v, &f, error)) return false;
        o.cfg.faults.push_back(f);
      }
    } else if (a == "--device-id") {
      o.cfg.device_id = v;
    } else if (a == "--caps") {
      if (!Number(v, 0, 0xFFFFFFFFLL, &n)) return bad(v);
      o.cfg.capabilities = static_cast<uint32_t>(n);
    } else if (a == "--max-htop" || a == "--max-ptoh") {
      if (!Number(v, 7, 0xFFFF, &n)) return bad(v);
      (a == "--max-htop" ? o.cfg.max_htop : o.cfg.max_ptoh) = static_cast<uint16_t>(n);
    } else if (a == "--max-status") {
      if (!Number(v, 0, 255, &n)) return bad(v);
      o.cfg.max_status_level = static_cast<uint8_t>(n);
    } else if (a == "--max-channels") {
      if (!Number(v, 1, 128, &n)) return bad(v);
      o.cfg.max_channels = static_cast<unsigned>(n);
    } else if (a == "--channels-per-socket") {
      if (!Number(v, 1, 128, &n)) return bad(v);
      o.cfg.channels_per_socket = static_cast<unsigned>(n);
    } else if (a == "--ready-file") {
      o.ready_file = v;
    } else if (a == "--stop-file") {
      o.stop_file = v;
    } else if (a == "--revision") {
      if (!Number(v, 0, 255, &n)) return bad(v);
      o.cfg.revision = static_cast<uint8_t>(n);
    } else if (a == "--credit-request-ms") {
      if (!Number(v, 0, 0x7FFFFFFF, &n)) return bad(v);
      o.cfg.credit_request_ms = static_cast<uint32_t>(n);
    } else if (a == "--trace") {
      o.trace = v == "none" ? "" : v;
    } else if (a == "--seconds") {
      if (!Number(v, 0, 0x7FFFFFFF, &n)) return bad(v);
      o.seconds = static_cast<uint32_t>(n);
    }
  }
  if (!services_given) o.cfg.services = DefaultServices();
  *out = o;
  return true;
}

bool ParseBridgeArgs(const std::vector<std::string>& args, BridgeOptions* out, std::string* error) {
  BridgeOptions o;
  bool mode_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--once") {
      o.once = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      *error = a.rfind("--", 0) == 0 ? "missing value for " + a : "unknown argument " + a;
      return false;
    }
    std::string v = args[++i];
    int64_t n = 0;
    if (a == "--port" && ValidPort(v)) {
      o.port = v;
    } else if ((a == "--listen" || a == "--connect") && Number(v, 0, 65535, &n)) {
      o.listen = a == "--listen";
      o.tcp_port = static_cast<uint16_t>(n);
      mode_given = true;
      if (!o.listen && n == 0) {
        *error = "--connect needs a port";
        return false;
      }
    } else if (a == "--host") {
      o.host = v;
    } else if (a == "--device-id") {
      o.device_id = v;
    } else if (a == "--caps" && Number(v, 0, 0xFFFFFFFFLL, &n)) {
      o.capabilities = static_cast<uint32_t>(n);
    } else if (a == "--fault" && ApplyDeviceFault(v, &o.device_id, &o.id_length, &o.capabilities)) {
    } else if (a == "--trace") {
      o.trace = v == "none" ? "" : v;
    } else if (a == "--seconds" && Number(v, 0, 0x7FFFFFFF, &n)) {
      o.seconds = static_cast<uint32_t>(n);
    } else {
      *error = "bad argument " + a + " " + v;
      return false;
    }
  }
  if (!mode_given) {
    *error = "give --listen PORT or --connect PORT";
    return false;
  }
  *out = o;
  return true;
}

}  // namespace emu
