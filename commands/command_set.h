// The gateway's own command batch, in registration order: 25, 191, 197, 202, 205, 193,
// 194, 22.
#pragma once

#include "gateway/frame.h"

const CommandEntry* gateway_command_batch();
