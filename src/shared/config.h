// Time-outs, packet sizes, poll intervals and switches from KRZTBX15.INI,
// read by every process at attach into its own copies.
#pragma once

#include <windows.h>

extern INT gMLC_Packet_TimeOut_While_Busy;      // ms, reply to credit commands
extern INT gMLC_Packet_TimeOut_While_Not_Busy;  // ms, reply to the other commands
extern INT gMLC_Inter_Packet_Time_Out;          // ms, rest of a packet, flushing
extern INT gMin_Poll_Interval;                  // ms, short poll timer
extern INT gMax_Poll_Interval;                  // ms, long poll timer
extern INT gPingInterval;                       // empty polls before a ping
extern INT gTO_HOST_PACKET_SIZE;                // bytes per packet to the host
extern INT gTO_PERI_PACKET_SIZE;                // bytes per packet to the peripheral
extern INT gGRANT_CREDIT_FAST_SIZE;             // bytes, immediate credit threshold
extern INT gCreditTimeout;                      // ms, stream write waiting for credit
extern INT g_bDoMemCopy;                        // stream reads copy the data
extern INT g_bDoMlcSync;                        // send synchronisation bytes first
extern INT gPPI_Mutex_Timeout;                  // ms, CheckPPI's wait
extern INT gMlc_Force_Poll;                     // exactly 1: MLCWrite polls first
extern INT gRetry_Resent_Stream_Packet;         // resend a stream packet after a time-out
extern INT gHelper_Setup_Timeout;               // ms, helper start until its MLCSetup

// Reads the sixteen keys of section "KRZMLC15"; a missing file, section or
// key leaves the default.
void LoadIniValues();
