// The end of a simulator run: SIGINT, SIGTERM or SIGHUP on Linux, Ctrl-C, Ctrl-Break or the
// console's close on Windows.
#ifndef TARVEX_SIM_STOP_H_
#define TARVEX_SIM_STOP_H_

namespace tarvexsim {

// Before any thread starts, so that only WaitForStop sees the request.
void CatchStop();
// Returns once the run is asked to end.
void WaitForStop();

}  // namespace tarvexsim

#endif  // TARVEX_SIM_STOP_H_
