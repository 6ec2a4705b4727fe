// Picks the architecture file; nothing above this header tests the architecture.
#pragma once

#if defined(__i386__)
#include "arch_i386.hpp"
#elif defined(__x86_64__)
#include "arch_x86_64.hpp"
#else
#error "dircast supports i386 and x86_64 only"
#endif
