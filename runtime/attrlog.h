// The network-byte-order attribute log: framed records in a bounded send
// buffer, the reader that cuts a stream into frames, the records that are not
// values (announcements, sync modes) with the well-known ids, state adapters,
// flow-out and flow-in state, and the demuxer that schedules a connection's flow-outs.
// The socket transport is a library of its own (runtime/attrlog/socket/).
#pragma once

#include "runtime/attrlog/frame.h"
#include "runtime/attrlog/nbo_attr_log.h"
#include "runtime/attrlog/records.h"
#include "runtime/attrlog/value_codec.h"
#include "runtime/attrlog/flow.h"
#include "runtime/attrlog/msg_channel.h"
#include "runtime/attrlog/stream_adapter.h"
#include "runtime/attrlog/demuxer.h"
#include "runtime/attrlog/close_cause.h"
#include "runtime/attrlog/connection.h"
