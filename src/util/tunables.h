// Periods and limits that the test build (tarn-test) shortens, so a test can
// watch them pass in seconds. The shipped daemon links tunables.cpp as is;
// there is no run-time way to change them.
#pragma once

// NAT-type refresh period, seconds.
extern const int tarn_nat_refresh_sec;
// How long a streaming session's UDT send side may stay full with nothing
// acknowledged before the session ends, seconds.
extern const int tarn_send_stall_sec;
