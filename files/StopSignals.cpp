// The one handler for the signals that stop a run.
#include "StopSignals.h"

#include "AtomicFileWriter.h"

volatile std::sig_atomic_t gStopSignal = 0;

namespace {

void OnStopSignal(int signal) {
    gStopSignal = signal;
}

}  // namespace

void CatchStopSignals(std::initializer_list<int> signals) {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : signals) sigaction(signal, &action, nullptr);
    SetWriteStop(&gStopSignal);
}
