#include "report.h"

#include <stdarg.h>
#include <stdio.h>

#include "krzmlc15.h"
#include "link/packet.h"

namespace krzstat {
namespace {

const char* const kPortNames[3] = {"LPT1", "LPT2", "LPT3"};

// MLC command names of the command channel, for the command outstanding.
const char* CommandName(BYTE bCommand) {
  switch (bCommand) {
    case MLC_INIT:
      return "MLC_INIT";
    case MLC_OPEN_CHANNEL:
      return "MLC_OPEN_CHANNEL";
    case MLC_CLOSE_CHANNEL:
      return "MLC_CLOSE_CHANNEL";
    case MLC_CREDIT:
      return "MLC_CREDIT";
    case MLC_CREDIT_REQUEST:
      return "MLC_CREDIT_REQUEST";
    case MLC_DEBIT:
      return "MLC_DEBIT";
    case MLC_DEBIT_REQUEST:
      return "MLC_DEBIT_REQUEST";
    case MLC_CONFIG_SOCKET:
      return "MLC_CONFIG_SOCKET";
    case MLC_EXIT:
      return "MLC_EXIT";
    case 0xFF:
      return "none";
    default:
      return "other";
  }
}

const char* StateName(PortState state) {
  switch (state) {
    case PortState::kIdle:
      return "idle";
    case PortState::kCopied:
      return "copied";
    case PortState::kBusy:
      return "busy";
    case PortState::kLost:
      return "lost";
  }
  return "?";
}

const char* TimerName(WORD wTimer) {
  return wTimer == POLL_TIMER_MIN ? "short" : wTimer == POLL_TIMER_MAX ? "long" : "none";
}

std::string Format(const char* lpszFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* lpszFormat, ...) {
  char szLine[512];
  va_list args;
  va_start(args, lpszFormat);
  vsnprintf(szLine, sizeof szLine, lpszFormat, args);
  va_end(args);
  return szLine;
}

int TimerPeriod(WORD wTimer, const TimerSettings& timers) {
  return wTimer == POLL_TIMER_MIN   ? timers.iMinPollMs
         : wTimer == POLL_TIMER_MAX ? timers.iMaxPollMs
                                    : 0;
}

}  // namespace

TimerSettings ReadTimerSettings() {
  TimerSettings timers;
  timers.iMinPollMs =
      (int)GetPrivateProfileIntA("KRZMLC15", "MIN_POLL_INTERVAL", 1000, "KRZTBX15.INI");
  timers.iMaxPollMs =
      (int)GetPrivateProfileIntA("KRZMLC15", "MAX_POLL_INTERVAL", 5000, "KRZTBX15.INI");
  return timers;
}

std::string Text(const Snapshot& snap, const TimerSettings& timers) {
  if (!snap.fLoaded) return "no process has KRZMLC15 loaded\n";
  const MlcGlobalData& g = snap.global;
  std::string out;
  if (snap.fGlobalBusy) {
    out += "global record: busy (not copied)\n";
  } else {
    out += Format("processes attached %lu, channels open %u\n", (unsigned long)g.dwMlcAttachCount,
                  g.wTotalChannelsOpened);
    out += Format("helper: %s, window 0x%lx%s, pid %lu; poll timer %s",
                  g.bMLCSetupDone ? "set up" : "not set up", (unsigned long)g.hHiddenWnd,
                  snap.fHelperWindow ? "" : " (gone)", (unsigned long)snap.dwHelperPid,
                  TimerName(g.wPollTimerId));
    int iPeriod = TimerPeriod(g.wPollTimerId, timers);
    out += iPeriod ? Format(" (%d ms)\n", iPeriod) : "\n";
  }
  for (const PortCopy& port : snap.ports) {
    const PerPortInfo& p = port.info;
    out += Format("\n%s: %s", kPortNames[port.bPort], StateName(port.state));
    if (port.state == PortState::kBusy) {
      out += " (its mutex stayed taken; not copied)\n";
      continue;
    }
    out += Format(
        ", link %s, revision host %u peer %u, command outstanding %s (0x%02X), "
        "last link error %ld\n",
        p.fMlcInitDone ? "up" : "down", p.bHostRevision, p.bPeerRevision,
        CommandName(p.bLastMlcCommand), p.bLastMlcCommand, (long)p.lLastLinkError);
    out += Format("  slots %u allocated, %u used; idle polls %lu; busy flags 0x%lx\n",
                  p.bChannelsAllocated, p.bChannelsUsed, (unsigned long)p.dwIdlePolls,
                  (unsigned long)p.dwBusyFlags);
    out += "  polls (packet/empty):";
    for (int t = 0; t < 3; ++t)
      out += Format(" type %d %lu/%lu", t, (unsigned long)p.PollStats[t].dwPacketPolls,
                    (unsigned long)p.PollStats[t].dwEmptyPolls);
    out += "\n";
    for (const SocketInfo& s : port.sockets)
      out += Format(
          "  socket %u: host->peri %u, peri->host %u bytes, status level %u, "
          "revisions %u/%u\n",
          s.bPsid, s.wHtoPPacketSize, s.wPtoHPacketSize, s.bStatusLevel, s.bHostRevision,
          s.bPeerRevision);
    for (const ChannelCopy& c : port.channels) {
      WORD hChannel = MLC_MAKE_CHANNEL(port.bPort, MLC_FIRST_HSID + c.bSlot);
      if (c.bType == MLC_STREAM_CHANNEL) {
        const StreamChannel& r = c.stream;
        out += Format(
            "  channel 0x%04X stream, socket %u, %s; credits host %lu peri %ld%s; "
            "buffered %ld of %ld, %ld to grant; window 0x%lx, pid %lu%s\n",
            hChannel, r.bPsid, r.fChannelOpen ? "open" : "not open",
            (unsigned long)r.wHostHtoPCredits, (long)r.wPeriPtoHCredits,
            r.fRequestedCredits ? " (credit requested)" : "", (long)r.wLength, (long)r.wAllocated,
            (long)r.wAvailBytes, (unsigned long)r.hAppWnd, (unsigned long)c.dwOwnerPid,
            r.hCallBackWnd ? ", callback" : "");
      } else if (c.bType == MLC_PACKET_CHANNEL) {
        const MessageChannel& r = c.message;
        int iWaiting = r.lReadSlot < 0
                           ? 0
                           : (r.bSlotCount == 2 && r.wSlotLength[1 - (r.lReadSlot & 1)] ? 2 : 1);
        out += Format(
            "  channel 0x%04X packet, socket %u, %s; credits host %u peri %u; messages "
            "waiting %d, queued %u (%lu bytes); window 0x%lx, pid %lu%s\n",
            hChannel, r.bPsid, r.fChannelOpen ? "open" : "not open", r.wHostHtoPCredits,
            r.wPeriPtoHCredits, iWaiting, r.bQueuedMsgs, (unsigned long)c.dwQueuedBytes,
            (unsigned long)r.hAppWnd, (unsigned long)c.dwOwnerPid,
            r.hCallBackWnd ? ", callback" : "");
      } else {
        out += Format("  channel 0x%04X of unknown type %u\n", hChannel, c.bType);
      }
    }
  }
  return out;
}

std::string Json(const Snapshot& snap, const TimerSettings& timers) {
  std::string out = Format("{\"loaded\":%s", snap.fLoaded ? "true" : "false");
  if (!snap.fLoaded) return out + "}\n";
  const MlcGlobalData& g = snap.global;
  out += Format(",\"global_busy\":%s", snap.fGlobalBusy ? "true" : "false");
  out += Format(",\"attached\":%lu,\"channels_open\":%u", (unsigned long)g.dwMlcAttachCount,
                g.wTotalChannelsOpened);
  out += Format(
      ",\"helper\":{\"setup_done\":%s,\"window\":%lu,\"window_alive\":%s,\"pid\":%lu,"
      "\"timer\":\"%s\",\"timer_id\":%u,\"timer_ms\":%d}",
      g.bMLCSetupDone ? "true" : "false", (unsigned long)g.hHiddenWnd,
      snap.fHelperWindow ? "true" : "false", (unsigned long)snap.dwHelperPid,
      TimerName(g.wPollTimerId), g.wPollTimerId, TimerPeriod(g.wPollTimerId, timers));
  out += ",\"ports\":[";
  for (const PortCopy& port : snap.ports) {
    const PerPortInfo& p = port.info;
    if (port.bPort) out += ",";
    out +=
        Format("{\"port\":\"%s\",\"state\":\"%s\"", kPortNames[port.bPort], StateName(port.state));
    if (port.state == PortState::kBusy) {
      out += "}";
      continue;
    }
    out += Format(
        ",\"link_up\":%s,\"host_revision\":%u,\"peer_revision\":%u,"
        "\"last_command\":%u,\"last_command_name\":\"%s\",\"last_link_error\":%ld,"
        "\"slots_allocated\":%u,\"slots_used\":%u,\"idle_polls\":%lu,\"busy_flags\":%lu",
        p.fMlcInitDone ? "true" : "false", p.bHostRevision, p.bPeerRevision, p.bLastMlcCommand,
        CommandName(p.bLastMlcCommand), (long)p.lLastLinkError, p.bChannelsAllocated,
        p.bChannelsUsed, (unsigned long)p.dwIdlePolls, (unsigned long)p.dwBusyFlags);
    out += ",\"poll_stats\":[";
    for (int t = 0; t < 3; ++t)
      out += Format("%s{\"packet\":%lu,\"empty\":%lu}", t ? "," : "",
                    (unsigned long)p.PollStats[t].dwPacketPolls,
                    (unsigned long)p.PollStats[t].dwEmptyPolls);
    out += "],\"sockets\":[";
    bool fFirst = true;
    for (const SocketInfo& s : port.sockets) {
      out += Format(
          "%s{\"psid\":%u,\"htop_size\":%u,\"ptoh_size\":%u,\"status_level\":%u,"
          "\"host_revision\":%u,\"peer_revision\":%u}",
          fFirst ? "" : ",", s.bPsid, s.wHtoPPacketSize, s.wPtoHPacketSize, s.bStatusLevel,
          s.bHostRevision, s.bPeerRevision);
      fFirst = false;
    }
    out += "],\"channels\":[";
    fFirst = true;
    for (const ChannelCopy& c : port.channels) {
      WORD hChannel = MLC_MAKE_CHANNEL(port.bPort, MLC_FIRST_HSID + c.bSlot);
      out += Format("%s{\"handle\":%u,\"type\":\"%s\"", fFirst ? "" : ",", hChannel,
                    c.bType == MLC_STREAM_CHANNEL   ? "stream"
                    : c.bType == MLC_PACKET_CHANNEL ? "packet"
                                                    : "unknown");
      fFirst = false;
      if (c.bType == MLC_STREAM_CHANNEL) {
        const StreamChannel& r = c.stream;
        out += Format(
            ",\"psid\":%u,\"open\":%s,\"host_credits\":%lu,\"peri_credits\":%ld,"
            "\"credit_requested\":%s,\"buffer\":%ld,\"buffered\":%ld,\"to_grant\":%ld,"
            "\"window\":%lu,\"callback\":%s,\"blocking_call\":%s,\"owner_pid\":%lu}",
            r.bPsid, r.fChannelOpen ? "true" : "false", (unsigned long)r.wHostHtoPCredits,
            (long)r.wPeriPtoHCredits, r.fRequestedCredits ? "true" : "false", (long)r.wAllocated,
            (long)r.wLength, (long)r.wAvailBytes, (unsigned long)r.hAppWnd,
            r.hCallBackWnd ? "true" : "false", r.hMlcWnd ? "true" : "false",
            (unsigned long)c.dwOwnerPid);
      } else if (c.bType == MLC_PACKET_CHANNEL) {
        const MessageChannel& r = c.message;
        out += Format(
            ",\"psid\":%u,\"open\":%s,\"host_credits\":%u,\"peri_credits\":%u,"
            "\"owed_credits\":%u,\"read_slot\":%ld,"
            "\"slot_lengths\":[%u,%u],\"queued\":%u,\"queued_bytes\":%lu,"
            "\"window\":%lu,\"callback\":%s,\"blocking_call\":%s,\"owner_pid\":%lu}",
            r.bPsid, r.fChannelOpen ? "true" : "false", r.wHostHtoPCredits, r.wPeriPtoHCredits,
            r.wOwedCredits, (long)r.lReadSlot, r.wSlotLength[0], r.wSlotLength[1], r.bQueuedMsgs,
            (unsigned long)c.dwQueuedBytes, (unsigned long)r.hAppWnd,
            r.hCallBackWnd ? "true" : "false", r.hMlcWnd ? "true" : "false",
            (unsigned long)c.dwOwnerPid);
      } else {
        out += "}";
      }
    }
    out += "]}";
  }
  return out + "]}\n";
}

}  // namespace krzstat
