// RunRandom: the pseudo-random numbers of one thread's runs.
//
// Each run seeds it afresh (from the time and the thread), as a program's
// random salts and fall-back caller ids expect. The C library's rand()
// would do the same job, but its one state sits behind a process-wide
// lock that every worker would take on every request.
#ifndef LUMO_CORE_CONTEXT_RUN_RANDOM_H_
#define LUMO_CORE_CONTEXT_RUN_RANDOM_H_

#include <cstdint>

namespace lumo {

void SeedRunRandom(uint32_t seed);
// 0 .. 0x7FFFFFFF.
int32_t RunRandom();

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_RUN_RANDOM_H_
