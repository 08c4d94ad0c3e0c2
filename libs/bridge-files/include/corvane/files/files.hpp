#pragma once

// The file layer: every system call the bridge makes on files goes through
// here (descriptors, reading and writing, locking, finding where a file lives,
// and replacing a file so that a crash or a signal never leaves half a file).
// This header brings all of it; each part has its own header too.

#include "corvane/files/descriptor.hpp"
#include "corvane/files/error.hpp"
#include "corvane/files/location.hpp"
#include "corvane/files/lock.hpp"
#include "corvane/files/metadata.hpp"
#include "corvane/files/replacement.hpp"
#include "corvane/files/roll_forward.hpp"
#include "corvane/files/signal_cleanup.hpp"
#include "corvane/files/signal_hold.hpp"
#include "corvane/files/system.hpp"
