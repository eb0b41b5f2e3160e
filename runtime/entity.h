// Entities and reactors: Zef::Entity, the reactor base with its flag word,
// notifiee lists, and dispatch of a change to every reactor in order.
#pragma once

#include "runtime/entity/list_raw.h"
#include "runtime/entity/notifiee.h"
#include "runtime/entity/entity.h"
#include "runtime/entity/dispatch.h"
