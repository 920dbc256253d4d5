// Noting interruptions, on both systems; fileio_posix.cpp and
// fileio_windows.cpp install the handlers that set g_interruptedBy.
#include "platform/interrupt.h"

#include "platform/fileio_internal.h"

namespace sfxpack {

namespace detail {
volatile std::sig_atomic_t g_interruptedBy = 0;
}  // namespace detail

InterruptGuard::InterruptGuard() { detail::catchInterrupts(true); }

InterruptGuard::~InterruptGuard() { detail::catchInterrupts(false); }

bool interrupted() { return detail::g_interruptedBy != 0; }

void endIfInterrupted()
{
    if (interrupted())
        detail::endBy(detail::g_interruptedBy);
}

}  // namespace sfxpack
