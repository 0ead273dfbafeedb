// What the soak's programs agree on: the printer's sockets, the shape of a
// client, and the time-outs written to the INI file with the longest wait
// they allow a single library call.
#pragma once

#define SOAK_STATUS_PSID 1  // the emulator's status service (message channel)
#define SOAK_ECHO_PSID 3    // echo services on SOAK_ECHO_PSID and the next socket
#define SOAK_CHANNELS_PER_CLIENT 4
#define SOAK_APP_MSG 0x8001  // WM_APP + 1: the clients' notification message

// Short time-outs (KRZTBX15.INI) so that faults resolve quickly.
#define SOAK_REPLY_TIMEOUT_MS 1000  // replies to every command
#define SOAK_CREDIT_TIMEOUT_MS 500  // a stream write waiting for credit
// A call may wait for the port mutex (a killed holder is noticed at once),
// a reply, a reset's own exchanges and a credit wait; beyond this it is stuck.
#define SOAK_LONGEST_CALL_MS (4 * SOAK_REPLY_TIMEOUT_MS + SOAK_CREDIT_TIMEOUT_MS + 2000)
// How long a client may take at the end to read back what is still on its way.
#define SOAK_DRAIN_MS 10000
