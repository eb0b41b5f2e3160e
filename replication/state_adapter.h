// The algorithms of every entity's attribute-log state adapter, once, a
// header a topic. The generated adapter of an entity type supplies a table of
// its replicated attributes and calls these templates:
//   attr_rows.h         the rows and the functions they point at
//   adapter_lifetime.h  creating, following and retiring an adapter
//   flow_out.h          a change written or marked, announcements, passes
//   flow_in.h           a record applied
#pragma once

#include "replication/adapter_lifetime.h"
#include "replication/attr_rows.h"
#include "replication/flow_in.h"
#include "replication/flow_out.h"
