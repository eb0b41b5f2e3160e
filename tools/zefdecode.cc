// zefdecode: an attribute-log byte stream, one line a frame.
//
//   zefdecode FILE            a stream saved to a file; "-" reads stdin
//   zefdecode --unix PATH     what a server sends on a Unix socket, until it
//                             closes the stream or SIGINT
//   --type EID=TYPE           entity EID is a TYPE (as if announced)
//
// Each line starts with the frame's offset in the stream:
//   @0 eid 1 attr 136 announce eid 3 type Hardware::Phy::PhyBcm54980Stats hex 01...
//   @62 eid 3 attr 268 crcErrors hex 01000000054... = Value('Hardware::Phy::EventOrCountStat', ...)
//   @81 eid 3 txn open attr 268 crcErrors n 1
//   @90 error: frame at offset 90: both same and next attribute
// Names and values come from the type registry once an entity's type is
// known. A malformed frame is reported and decoding goes on; a stream that
// loses its framing is reported and decoding stops. Exit status: 0 clean,
// 1 when anything malformed was reported, 2 when the input cannot be read.
#include <CLI/CLI.hpp>

#include <asio.hpp>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "runtime/attrlog/connection.h"
#include "runtime/attrlog/records.h"
#include "runtime/attrlog/socket/socket_transport.h"
#include "runtime/types/generic_if.h"
#include "types/phy_bcm54980_types.h"

namespace {

using Zef::EntityId;
using Zef::Ptr;
using Zef::String8;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::FrameKind;
using Zef::NboAttrLog::FrameView;

char const kNamespace[] = "Hardware::Phy::";

Zef::ZefType* typeNamed(std::string const& name) {
  Zef::ZefType* t = Zef::ZefType::registered(Zef::Name(name));
  return t ? t : Zef::ZefType::registered(Zef::Name(kNamespace + name));
}

std::string hex(std::span<unsigned char const> bytes) {
  if (bytes.empty()) return "-";
  std::string s;
  char buf[3];
  for (unsigned char b : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    s += buf;
  }
  return s;
}

std::uint64_t bigEndian(std::span<unsigned char const> bytes) {
  std::uint64_t v = 0;
  for (unsigned char b : bytes) v = v << 8 | b;
  return v;
}

// The constructor arguments' encoding depends on the type, which this
// program may not link: the entity id is read from the record's end.
struct Announcement {
  std::vector<std::string> types;
  EntityId eid = 0;
};

Announcement announcementOf(std::span<unsigned char const> p) {
  using Zef::NboAttrLog::AnnouncementFault;
  Zef::NboAttrLog::In in(p);
  Announcement a;
  try {
    for (auto const& t : Zef::NboAttrLog::announcementHead(in).types) a.types.push_back(t.str());
    a.eid = Zef::NboAttrLog::announcementEntityIdFromEnd(p);
  } catch (Zef::NboAttrLog::AnnouncementException const& e) {
    // Worded by section, as the decoder's reader sees the record.
    switch (e.fault()) {
      case AnnouncementFault::noTypeSection: Zef::throwRangeException("announcement does not start with section 1");
      case AnnouncementFault::noType: Zef::throwRangeException("announcement names no type");
      case AnnouncementFault::noConstructorSection: Zef::throwRangeException("announcement has no section 3");
      case AnnouncementFault::noEntityIdSection: Zef::throwRangeException("announcement has no section 4");
      default: throw;
    }
  }
  return a;
}

class Decoder {
 public:
  explicit Decoder(std::ostream& out) : out_(out) {
    // Built-in types register on first use; the registry must know them.
    Zef::Builtin<bool>::_fwkType();
    Zef::Builtin<double>::_fwkType();
    Zef::Builtin<unsigned char>::_fwkType();
    Zef::Builtin<unsigned int>::_fwkType();
    Zef::Builtin<String8>::_fwkType();
    Zef::Builtin<Zef::Name>::_fwkType();
  }

  void attach(Connection& conn) {
    conn.frameHandlerIs([this](Connection&, FrameView const& f) { frame(f); });
    conn.refusalHandlerIs([this](Connection&, std::uint64_t offset, String8 const& why) {
      error(offset, why.str());
    });
  }

  void entityTypeIs(EntityId eid, Zef::ZefType* type) { types_[eid] = type; }

  // The stream ended; `conn` tells how.
  void ended(Connection const& conn) {
    if (conn.closeCause() == Zef::NboAttrLog::CloseCause::lostFraming) {
      out_ << "stopped: framing lost\n";
    } else if (conn.pendingBytes() > 0) {
      error(conn.bytesReceivedCount() - conn.pendingBytes(),
            "stream ends inside a frame: " + std::to_string(conn.pendingBytes()) + " bytes");
    }
    out_.flush();
  }

  bool hadErrors() const { return errors_ > 0; }

 private:
  void error(std::uint64_t offset, std::string const& what) {
    ++errors_;
    out_ << "@" << offset << " error: " << what << "\n";
  }

  Ptr<Zef::ZefAttr const> attrOf(EntityId eid, Zef::AttributeId aid) const {
    auto it = types_.find(eid);
    return it == types_.end() ? nullptr : it->second->attr(aid);
  }

  void frame(FrameView const& f) {
    auto const& h = f.header;
    std::string line = "@" + std::to_string(f.offset) + " eid " + std::to_string(h.entityId) + " ";
    Ptr<Zef::ZefAttr const> attr = attrOf(h.entityId, h.attributeId);
    std::string attrText = "attr " + std::to_string(h.attributeId) + (attr ? " " + attr->name().str() : "");
    if (!h.hasDefaultWords()) {
      attrText += " words " + std::to_string(h.firstFlag) + "," + std::to_string(h.firstWord) + "," +
                  std::to_string(h.secondWord) + "," + std::to_string(h.lastFlag);
    }
    if (f.kind == FrameKind::transaction) return transaction(f, line + "txn ", attrText);
    line += attrText;
    if (Zef::NboAttrLog::isAnnouncement(f.kind, h)) return announcement(f, line);
    line += " hex " + hex(f.payload);
    if (attr) {
      try {
        line += valueText(*attr, f.payload);
      } catch (Zef::RangeException const& e) {
        out_ << line << "\n";
        return error(f.offset, "payload of " + attr->name().str() + ": " + e.what());
      }
    }
    out_ << line << "\n";
  }

  void transaction(FrameView const& f, std::string line, std::string const& attrText) {
    if (f.payload.size() != 5) {
      out_ << line << attrText << " hex " << hex(f.payload) << "\n";
      return error(f.offset, "transaction marker of " + std::to_string(f.payload.size()) + " bytes, not 5");
    }
    static char const* const kTypes[] = {"open", "abort", "close"};
    unsigned type = f.payload[0];
    line += type < 3 ? kTypes[type] : "type " + std::to_string(type);
    out_ << line << " " << attrText << " n " << bigEndian(f.payload.subspan(1)) << "\n";
  }

  void announcement(FrameView const& f, std::string line) {
    line += " announce";
    Announcement a;
    try {
      a = announcementOf(f.payload);
    } catch (Zef::RangeException const& e) {
      out_ << line << " hex " << hex(f.payload) << "\n";
      return error(f.offset, std::string("malformed announcement: ") + e.what());
    }
    line += " eid " + std::to_string(a.eid) + " type ";
    for (std::size_t i = 0; i < a.types.size(); ++i) line += (i ? "," : "") + a.types[i];
    out_ << line << " hex " << hex(f.payload) << "\n";
    // The first name the registry knows; an id announced again is re-used.
    types_.erase(a.eid);
    for (auto const& name : a.types) {
      if (Zef::ZefType* t = Zef::ZefType::registered(Zef::Name(name))) {
        types_[a.eid] = t;
        break;
      }
    }
  }

  // " = TEXT" for an attribute whose type reads itself from the log; nothing
  // for types without a wire reader (enumerations, bounded numbers, types
  // this program does not link). A short payload throws the range exception.
  std::string valueText(Zef::ZefAttr const& attr, std::span<unsigned char const> payload) const {
    if (attr.isCollection() || attr.isFunction()) return "";
    Zef::ZefType* type = attr.type();
    if (!type) return "";
    if (type->flags().isEntity()) {
      // A reference travels as the referenced entity's id on this log.
      if (payload.size() != 8) Zef::throwRangeException("a reference is an 8-byte entity id");
      EntityId eid = bigEndian(payload);
      return eid == 0 ? " = null" : " = eid " + std::to_string(eid);
    }
    Zef::NboAttrLog::In in(payload);
    Ptr<Zef::GenericIf> value;
    try {
      value = type->genericIfFromWire(&in);
    } catch (Zef::TypeException const&) {
      return "";
    }
    std::string text = " = " + value->strRep().str();
    if (in.remaining() > 0) text += " (" + std::to_string(in.remaining()) + " bytes more)";
    return text;
  }

  std::ostream& out_;
  std::map<EntityId, Zef::ZefType*> types_;
  unsigned errors_ = 0;
};

int decodeStream(std::istream& in, Decoder& decoder) {
  Ptr<Connection> conn = Connection::ConnectionIs();
  decoder.attach(*conn);
  std::vector<char> buffer(64 * 1024);
  while (!conn->isClosed() && in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    auto n = static_cast<std::size_t>(in.gcount());
    conn->bytesReceived({reinterpret_cast<unsigned char const*>(buffer.data()), n});
  }
  if (in.bad()) {
    std::cerr << "zefdecode: read failed\n";
    return 2;
  }
  decoder.ended(*conn);
  return decoder.hadErrors() ? 1 : 0;
}

int decodeSocket(std::string const& path, Decoder& decoder) {
  asio::io_context io;
  Ptr<Zef::AttrLogSocket::Client> client;
  try {
    client = Zef::AttrLogSocket::Client::ClientIs(io, Zef::AttrLogSocket::UnixAddress{path});
  } catch (Zef::AttrLogSocket::SocketException const& e) {
    std::cerr << "zefdecode: " << e.what() << "\n";
    return 2;
  }
  decoder.attach(*client->connection());
  bool connected = false;
  std::string failure;
  asio::signal_set signals(io, SIGINT, SIGTERM);
  client->onConnectedIs([&](Ptr<Connection> const&) { connected = true; });
  client->onClosedIs([&](Ptr<Connection> const&, String8 const& reason) {
    if (!connected) failure = reason.str();
    signals.cancel();
  });
  signals.async_wait([&](std::error_code ec, int) {
    if (!ec) client->closedIs("interrupted");
  });
  io.run();
  if (!failure.empty()) {
    std::cerr << "zefdecode: " << failure << "\n";
    return 2;
  }
  decoder.ended(*client->connection());
  return decoder.hadErrors() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A use of the library, so that the linker keeps it: loading it registers its types.
  if (Hardware::Phy::zefAttributeHandleCount() == 0) return 2;
  CLI::App app{"Decode an attribute-log byte stream, one line a frame"};
  std::string input;
  std::string socketPath;
  std::vector<std::string> typeArgs;
  auto* file = app.add_option("input", input, "a file holding the stream; - reads stdin");
  auto* socket = app.add_option("--unix", socketPath, "decode what arrives on this Unix socket until it closes");
  file->excludes(socket);
  app.add_option("-t,--type", typeArgs, "EID=TYPE: entity EID is a TYPE, as if announced");
  CLI11_PARSE(app, argc, argv);
  if (input.empty() && socketPath.empty()) {
    std::cerr << "zefdecode: give a file, - or --unix PATH\n" << app.help();
    return 2;
  }

  Decoder decoder(std::cout);
  for (std::string const& arg : typeArgs) {
    std::size_t eq = std::min(arg.find('='), arg.size());
    Zef::ZefType* t = eq < arg.size() ? typeNamed(arg.substr(eq + 1)) : nullptr;
    EntityId eid = 0;
    auto [end, ec] = std::from_chars(arg.data(), arg.data() + eq, eid);
    if (ec != std::errc() || end != arg.data() + eq) t = nullptr;
    if (!t) {
      std::cerr << "zefdecode: --type wants EID=TYPE with a registered type, not " << arg << "\n";
      return 2;
    }
    decoder.entityTypeIs(eid, t);
  }

  if (!socketPath.empty()) return decodeSocket(socketPath, decoder);
  if (input == "-") return decodeStream(std::cin, decoder);
  std::ifstream in(input, std::ios::binary);
  if (!in) {
    std::cerr << "zefdecode: cannot open " << input << "\n";
    return 2;
  }
  return decodeStream(in, decoder);
}
