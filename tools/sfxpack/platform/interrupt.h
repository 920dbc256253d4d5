// Interruption (SIGINT, SIGTERM, SIGHUP; a console Ctrl event on Windows)
// while an InterruptGuard lives is noted instead of ending the process:
// writing and copying then fail, the owners remove what they wrote, and
// endIfInterrupted() ends the process by the same signal.  A signal that
// was ignored when the guard was made (nohup) stays ignored.
//
// interrupt.cpp holds what both systems share; the signal or console
// handlers are in fileio_posix.cpp and fileio_windows.cpp.
#ifndef SFXPACK_INTERRUPT_H
#define SFXPACK_INTERRUPT_H

namespace sfxpack {

class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};
bool interrupted();
void endIfInterrupted();

}  // namespace sfxpack

#endif  // SFXPACK_INTERRUPT_H
