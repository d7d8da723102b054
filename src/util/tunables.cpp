#include "util/tunables.h"

// TARN_SHORT_TIMERS is set only for tarn-test (CMake option TARN_TEST_DAEMON).
#ifdef TARN_SHORT_TIMERS
const int tarn_nat_refresh_sec = 1;
const int tarn_send_stall_sec = 2;
#else
const int tarn_nat_refresh_sec = 180;
const int tarn_send_stall_sec = 60;
#endif
