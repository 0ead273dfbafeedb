#include "shared/config.h"

#include "debug/cm_debug.h"

// The defaults hold until LoadIniValues runs, so the attach sequence before
// it works with the same values.
INT gMLC_Packet_TimeOut_While_Busy = 15000;
INT gMLC_Packet_TimeOut_While_Not_Busy = 1000;
INT gMLC_Inter_Packet_Time_Out = 150;
INT gMin_Poll_Interval = 1000;
INT gMax_Poll_Interval = 5000;
INT gPingInterval = 15;
INT gTO_HOST_PACKET_SIZE = 1024;
INT gTO_PERI_PACKET_SIZE = 4102;
INT gGRANT_CREDIT_FAST_SIZE = 32767;
INT gCreditTimeout = 5000;
INT g_bDoMemCopy = 1;
INT g_bDoMlcSync = 0;
INT gPPI_Mutex_Timeout = 100;
INT gMlc_Force_Poll = 0;
INT gRetry_Resent_Stream_Packet = 0;
INT gHelper_Setup_Timeout = 5000;

static INT ReadKey(LPCSTR lpszKey, INT nDefault) {
  return (INT)GetPrivateProfileIntA("KRZMLC15", lpszKey, nDefault, "KRZTBX15.INI");
}

void LoadIniValues() {
  gMLC_Packet_TimeOut_While_Busy = ReadKey("MLC_PACKET_TIMEOUT_WHILE_BUSY", 15000);
  gMLC_Packet_TimeOut_While_Not_Busy = ReadKey("MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY", 1000);
  gMLC_Inter_Packet_Time_Out = ReadKey("MLC_INTER_PACKET_TIME_OUT", 150);
  gMin_Poll_Interval = ReadKey("MIN_POLL_INTERVAL", 1000);
  gMax_Poll_Interval = ReadKey("MAX_POLL_INTERVAL", 5000);
  gPingInterval = ReadKey("PingInterval", 15);
  gTO_HOST_PACKET_SIZE = ReadKey("TO_HOST_PACKET_SIZE", 1024);
  gTO_PERI_PACKET_SIZE = ReadKey("TO_PERI_PACKET_SIZE", 4102);
  gGRANT_CREDIT_FAST_SIZE = ReadKey("GRANT_CREDIT_FAST_SIZE", 32767);
  gCreditTimeout = ReadKey("CreditTimeout", 5000);
  g_bDoMemCopy = ReadKey("DoMemCopy", 1);
  g_bDoMlcSync = ReadKey("DoMLCSync", 0);
  gPPI_Mutex_Timeout = ReadKey("PPI_MUTEX_TIMEOUT", 100);
  gMlc_Force_Poll = ReadKey("MLC_FORCE_POLL", 0);
  gRetry_Resent_Stream_Packet = ReadKey("MLC_RESENT_STREAM_PACKET", 0);
  gHelper_Setup_Timeout = ReadKey("HELPER_SETUP_TIMEOUT", 5000);
  MLCLOG(DBG_TRACE, "LoadIniValues: gRetry_Resent_Stream_Packet = %d\n",
         gRetry_Resent_Stream_Packet);
}
