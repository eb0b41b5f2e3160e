#include "gnmi/gnmi_server.h"

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <list>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "gnmi.grpc.pb.h"
#include "gnmi/gnmi_core.h"
#include "runtime/failure/exception.h"
#include "runtime/types/generic_if.h"

namespace mountgnmi {

namespace {

using Hardware::Phy::PhyBcm54980Stats;
using Hardware::Phy::PhyBcm54980Status;
using Hardware::Phy::PhyBcm54980StatusDir;
using grpc::ServerContext;
using grpc::Status;
using grpc::StatusCode;
using SysClock = std::chrono::system_clock;
using Clock = std::chrono::steady_clock;

constexpr char kModelName[] = "phy-bcm54980";
constexpr std::int64_t kGroupNs = 1'000'000;
constexpr char kOcModelName[] = "openconfig-interfaces";

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(SysClock::now().time_since_epoch()).count();
}

// A value's text form as JSON: numbers and truth values as they are, the
// rest quoted.
std::string jsonOf(std::string const& text) {
  if (text == "True" || text == "true") return "true";
  if (text == "False" || text == "false") return "false";
  if (!text.empty()) {
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    if (end == text.c_str() + text.size() && text != "nan" && text != "inf" && text != "-inf") return text;
  }
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      continue;
    }
    out += c;
  }
  return out + "\"";
}

bool truthOf(std::string const& text) { return text == "True" || text == "true" || text == "1"; }

// One leaf of every port: where its value comes from and how it is sent.
struct SchemaLeaf {
  enum class Conv { scalar, fields, field, operStatus, portSpeed, duplexMode };
  Path tail;  // the elements after the port's
  bool openconfig = false;
  bool onStats = false;  // read from the port's statistics entity, else its status
  Zef::AttributeId attr = 0;
  Zef::AttributeId field = 0;
  Conv conv = Conv::scalar;
  Value::Kind kind = Value::Kind::string;
  // For Conv::fields. Write-only fields (a statistic's update) show only
  // when read: the mount's thread drops them then.
  mutable std::vector<std::pair<std::string, Zef::AttributeId>> fields;
  mutable bool unreadable = false;  // found so on the mount's thread
};

Value::Kind kindOfType(std::string const& t) {
  if (t == "bool") return Value::Kind::boolean;
  if (t == "double" || t == "float") return Value::Kind::real;
  if (t == "unsigned int" || t == "int" || t == "unsigned long" || t == "U64" || t == "U32" || t == "U16" ||
      t == "U8" || (t.size() > 1 && t[0] == 'U' && std::all_of(t.begin() + 1, t.end(), ::isdigit)))
    return Value::Kind::uint;
  return Value::Kind::string;
}

Zef::AttributeId attrIdOf(Zef::ZefType const* type, char const* name) {
  Zef::Ptr<Zef::ZefAttr> a = Zef::ZefAttr::attr(type, Zef::Name(name));
  if (!a) throw std::logic_error(std::string("no attribute ") + name);
  return a->id();
}

Zef::AttributeId fieldIdOf(Zef::ZefType const* entityType, char const* stat, char const* field) {
  Zef::Ptr<Zef::ZefAttr> a = Zef::ZefAttr::attr(entityType, Zef::Name(stat));
  if (!a || !a->type()) throw std::logic_error(std::string("no statistic ") + stat);
  return attrIdOf(a->type(), field);
}

// The model's leaves come from the type registry; OpenConfig's are the
// counters and states that have a standard name.
std::vector<SchemaLeaf> buildSchema() {
  std::vector<SchemaLeaf> s;
  Zef::ZefType const* statusType = PhyBcm54980Status::_fwkType();
  Zef::ZefType const* statsType = PhyBcm54980Stats::_fwkType();
  auto oc = [&](std::vector<std::string> tail, bool onStats, char const* attr, char const* field, Value::Kind kind,
                SchemaLeaf::Conv conv) {
    SchemaLeaf l;
    for (auto& n : tail) l.tail.push_back({n, {}});
    l.openconfig = true;
    l.onStats = onStats;
    l.attr = attrIdOf(onStats ? statsType : statusType, attr);
    if (field) l.field = fieldIdOf(statsType, attr, field);
    l.kind = kind;
    l.conv = conv;
    s.push_back(std::move(l));
  };
  using K = Value::Kind;
  using C = SchemaLeaf::Conv;
  oc({"state", "oper-status"}, false, "linkUp", nullptr, K::string, C::operStatus);
  oc({"ethernet", "state", "negotiated-port-speed"}, false, "speed", nullptr, K::string, C::portSpeed);
  oc({"ethernet", "state", "negotiated-duplex-mode"}, false, "fullDuplex", nullptr, K::string, C::duplexMode);
  oc({"state", "counters", "in-crc-errors"}, true, "crcErrors", "count", K::uint, C::field);
  oc({"state", "counters", "in-errors"}, true, "rxErrors", "count", K::uint, C::field);
  oc({"state", "counters", "out-errors"}, true, "txErrors", "count", K::uint, C::field);
  oc({"state", "counters", "carrier-transitions"}, true, "linkState", "changes", K::uint, C::field);

  // The status's attributes and its bases', less those every entity has
  // (the root type's).
  std::vector<Zef::ZefType const*> chain;
  for (Zef::ZefType const* t = statusType; t; t = t->base()) chain.insert(chain.begin(), t);
  std::vector<Zef::Ptr<Zef::ZefAttr>> statusAttrs;
  for (std::size_t i = 1; i < chain.size(); ++i) {
    for (Zef::Ptr<Zef::ZefAttr> const& a : chain[i]->attributes()) {
      bool const common = std::any_of(chain[0]->attributes().begin(), chain[0]->attributes().end(),
                                      [&](Zef::Ptr<Zef::ZefAttr> const& r) { return r->name() == a->name(); });
      bool const seen = std::any_of(statusAttrs.begin(), statusAttrs.end(),
                                    [&](Zef::Ptr<Zef::ZefAttr> const& r) { return r->name() == a->name(); });
      if (!common && !seen) statusAttrs.push_back(a);
    }
  }
  for (Zef::Ptr<Zef::ZefAttr> const& a : statusAttrs) {
    if (a->isFunction() || a->isCollection() || a->typeName() == Zef::Name("void")) continue;
    Zef::ZefType const* t = a->type();
    if (t && t->flags().isEntity()) continue;  // children and references are entities, not leaves
    SchemaLeaf l;
    l.tail = {{"status", {}}, {a->name().str(), {}}};
    l.attr = a->id();
    l.kind = kindOfType(a->typeName().str());
    s.push_back(std::move(l));
  }
  for (Zef::Ptr<Zef::ZefAttr> const& a : statsType->attributes()) {
    if (a->isFunction() || a->isCollection() || a->typeName() == Zef::Name("void")) continue;
    Zef::ZefType const* t = a->type();
    if (!t || t->flags().isEntity()) continue;
    SchemaLeaf l;
    l.tail = {{"stats", {}}, {a->name().str(), {}}};
    l.onStats = true;
    l.attr = a->id();
    l.conv = C::fields;
    l.kind = K::json;
    for (Zef::Ptr<Zef::ZefAttr> const& f : t->attributes()) {
      if (!f->isFunction() && f->typeName() != Zef::Name("void")) l.fields.emplace_back(f->name().str(), f->id());
    }
    if (l.fields.empty()) continue;  // not a statistic
    s.push_back(std::move(l));
  }
  return s;
}

Path portPath(SchemaLeaf const& l, std::string const& port) {
  Path p(2 + l.tail.size());
  p[0].name = l.openconfig ? "interfaces" : "phy";
  p[1].name = l.openconfig ? "interface" : "port";
  p[1].keys.emplace("name", port);
  std::copy(l.tail.begin(), l.tail.end(), p.begin() + 2);
  return p;
}

Value readLeaf(SchemaLeaf const& l, Zef::Ptr<Zef::Entity> const& e) {
  Zef::Ptr<Zef::GenericIf> g = e->fwkType()->genericIf(e.ptr(), true);
  Zef::Ptr<Zef::GenericIf> v = g->attributeOp(Zef::AttributeOp{l.attr, Zef::AttributeOp::kRead}, {}, {});
  Value out{l.kind, ""};
  if (!v) return out;
  switch (l.conv) {
    case SchemaLeaf::Conv::scalar: {
      std::string t = v->strRep().str();
      out.text = l.kind == Value::Kind::boolean ? (truthOf(t) ? "true" : "false") : t;
      break;
    }
    case SchemaLeaf::Conv::operStatus:
      out.text = truthOf(v->strRep().str()) ? "UP" : "DOWN";
      break;
    case SchemaLeaf::Conv::portSpeed: {
      // Interface::EthSpeed's values in order, as OpenConfig's identities.
      static char const* const kSpeeds[] = {"SPEED_UNKNOWN", "SPEED_10MB", "SPEED_100MB", "SPEED_1GB",
                                            "SPEED_2500MB"};
      unsigned long const i = std::strtoul(v->strRep().str().c_str(), nullptr, 10);
      out.text = i < std::size(kSpeeds) ? kSpeeds[i] : "SPEED_UNKNOWN";
      break;
    }
    case SchemaLeaf::Conv::duplexMode:
      out.text = truthOf(v->strRep().str()) ? "FULL" : "HALF";
      break;
    case SchemaLeaf::Conv::field: {
      auto f = v->attributeOp(Zef::AttributeOp{l.field, Zef::AttributeOp::kRead}, {}, {});
      out.text = f ? f->strRep().str() : "0";
      break;
    }
    case SchemaLeaf::Conv::fields: {
      out.text = "{";
      for (std::size_t i = 0; i < l.fields.size();) {
        Zef::Ptr<Zef::GenericIf> f;
        try {
          f = v->attributeOp(Zef::AttributeOp{l.fields[i].second, Zef::AttributeOp::kRead}, {}, {});
        } catch (Zef::OpNotSupportedException const&) {
          l.fields.erase(l.fields.begin() + static_cast<std::ptrdiff_t>(i));
          continue;
        }
        if (out.text.size() > 1) out.text += ',';
        out.text += jsonOf(l.fields[i].first) + ":" + (f ? jsonOf(f->strRep().str()) : "null");
        ++i;
      }
      out.text += "}";
      break;
    }
  }
  return out;
}

void toProto(Path const& p, gnmi::Path* out) {
  for (PathElem const& e : p) {
    gnmi::PathElem* pe = out->add_elem();
    pe->set_name(e.name);
    for (auto const& [k, v] : e.keys) (*pe->mutable_key())[k] = v;
  }
}

Path fromProto(gnmi::Path const& prefix, gnmi::Path const& p) {
  Path out;
  for (gnmi::Path const* part : {&prefix, &p}) {
    for (gnmi::PathElem const& e : part->elem()) {
      PathElem pe{e.name(), {}};
      for (auto const& [k, v] : e.key()) pe.keys[k] = v;
      out.push_back(std::move(pe));
    }
  }
  return out;
}

void toProto(Value const& v, gnmi::TypedValue* out) {
  switch (v.kind) {
    case Value::Kind::uint: out->set_uint_val(std::strtoull(v.text.c_str(), nullptr, 10)); break;
    case Value::Kind::boolean: out->set_bool_val(v.text == "true"); break;
    case Value::Kind::real: out->set_double_val(std::strtod(v.text.c_str(), nullptr)); break;
    case Value::Kind::string: out->set_string_val(v.text); break;
    case Value::Kind::json: out->set_json_ietf_val(v.text); break;
  }
}

}  // namespace

struct Server::Impl final : gnmi::gNMI::Service {
  // One Subscribe call's ON_CHANGE side, fed by the mount's thread.
  struct Sub {
    std::uint64_t id = 0;
    std::string peer;
    std::vector<Path> patterns;
    std::vector<std::int8_t> matched;  // by leaf: -1 not yet known
    CoalescingQueue queue;
    std::condition_variable cv;
    explicit Sub(std::size_t capacity) : queue(capacity) {}
  };

  ServerOptions options;
  std::vector<SchemaLeaf> const schema = buildSchema();
  std::vector<Path> schemaPaths;  // every schema leaf with name=*
  // The mount thread's own: where each entity's leaves are.
  struct PortEntry {
    std::uint32_t base = 0;  // its first leaf
    Zef::Ptr<Zef::Entity> status, stats;
  };
  std::unordered_map<std::string, PortEntry> ports;
  std::unordered_map<Zef::Entity const*, std::pair<PortEntry*, bool>> byEntity;  // -> port, is statistics
  std::unordered_map<Zef::AttributeId, std::vector<std::size_t>> statusLeaves, statsLeaves;

  // Shared with the gRPC threads, under `mutex`.
  mutable std::mutex mutex;
  std::condition_variable syncedCv;
  bool synced = false;
  std::vector<Path> leafPaths;
  std::vector<Value> values;
  std::vector<std::int64_t> stamps;
  std::vector<bool> has;
  std::list<std::shared_ptr<Sub>> subs;
  std::uint64_t nextSub = 1;
  std::uint64_t coalescedEnded = 0;
  std::atomic<bool> stopping{false};

  std::unique_ptr<grpc::Server> server;
  int boundPort = 0;

  explicit Impl(ServerOptions o) : options(std::move(o)) {
    for (std::size_t i = 0; i < schema.size(); ++i) {
      schemaPaths.push_back(portPath(schema[i], "*"));
      (schema[i].onStats ? statsLeaves : statusLeaves)[schema[i].attr].push_back(i);
    }
  }

  // ---- the mount's thread ----

  void publish(std::uint32_t leaf, Value value, std::int64_t stamp) {
    std::lock_guard lock(mutex);
    if (has[leaf] && values[leaf] == value) return;
    for (auto const& s : subs) {
      if (matches(*s, leaf)) {
        s->queue.push({leaf, value, stamp, Clock::now()});
        s->cv.notify_one();
      }
    }
    values[leaf] = std::move(value);
    stamps[leaf] = stamp;
    has[leaf] = true;
  }

  PortEntry& port(std::string const& name) {
    auto [it, added] = ports.try_emplace(name);
    if (added) {
      std::lock_guard lock(mutex);
      it->second.base = static_cast<std::uint32_t>(leafPaths.size());
      for (SchemaLeaf const& l : schema) leafPaths.push_back(portPath(l, name));
      values.resize(leafPaths.size());
      stamps.resize(leafPaths.size());
      has.resize(leafPaths.size());
    }
    return it->second;
  }

  void remap(Zef::Ptr<PhyBcm54980StatusDir> const& statuses) {
    byEntity.clear();
    if (!statuses) return;
    for (auto it = statuses->phyStatusIterator(); it.ptr(); ++it) {
      Zef::Ptr<PhyBcm54980Status> st(it.ptr());
      PortEntry& p = port(st->name().str());
      p.status = st;
      p.stats = st->bcmStats();
      byEntity[p.status.ptr()] = {&p, false};
      if (p.stats) byEntity[p.stats.ptr()] = {&p, true};
    }
  }

  void readInto(PortEntry const& p, bool onStats, std::vector<std::size_t> const& leaves, std::int64_t stamp) {
    Zef::Ptr<Zef::Entity> const& e = onStats ? p.stats : p.status;
    if (!e) return;
    for (std::size_t i : leaves) {
      if (schema[i].unreadable) continue;
      try {
        publish(p.base + static_cast<std::uint32_t>(i), readLeaf(schema[i], e), stamp);
      } catch (Zef::OpNotSupportedException const&) {
        schema[i].unreadable = true;
      }
    }
  }

  void applied(Zef::Ptr<Zef::Entity> const& entity, Zef::AttributeId attr,
               Zef::Ptr<PhyBcm54980StatusDir> const& statuses) {
    bool const isStats = dynamic_cast<PhyBcm54980Stats const*>(entity.ptr()) != nullptr;
    if (!isStats && !dynamic_cast<PhyBcm54980Status const*>(entity.ptr())) return;
    auto const& table = isStats ? statsLeaves : statusLeaves;
    auto leaves = table.find(attr);
    if (leaves == table.end()) return;
    auto it = byEntity.find(entity.ptr());
    if (it == byEntity.end()) {
      remap(statuses);
      it = byEntity.find(entity.ptr());
      if (it == byEntity.end()) return;  // not attached yet: the resync reads it
    }
    readInto(*it->second.first, isStats, leaves->second, nowNs());
  }

  void resync(Zef::Ptr<PhyBcm54980StatusDir> const& statuses) {
    remap(statuses);
    std::int64_t const stamp = nowNs();
    for (auto const& [name, p] : ports) {
      for (auto const& [attr, leaves] : statusLeaves) readInto(p, false, leaves, stamp);
      for (auto const& [attr, leaves] : statsLeaves) readInto(p, true, leaves, stamp);
    }
    std::lock_guard lock(mutex);
    synced = true;
    syncedCv.notify_all();
  }

  // ---- any thread, under `mutex` ----

  bool matches(Sub& s, std::uint32_t leaf) {
    if (s.matched.size() <= leaf) s.matched.resize(leafPaths.size(), -1);
    std::int8_t& m = s.matched[leaf];
    if (m < 0) {
      m = 0;
      for (Path const& p : s.patterns) {
        if (pathMatches(p, leafPaths[leaf])) {
          m = 1;
          break;
        }
      }
    }
    return m == 1;
  }

  // Every leaf holding a value under `pattern`, as updates.
  std::size_t snapshot(Path const& pattern, gnmi::Notification* n) {
    std::size_t found = 0;
    for (std::uint32_t i = 0; i < leafPaths.size(); ++i) {
      if (!has[i] || !pathMatches(pattern, leafPaths[i])) continue;
      gnmi::Update* u = n->add_update();
      toProto(leafPaths[i], u->mutable_path());
      toProto(values[i], u->mutable_val());
      ++found;
    }
    return found;
  }

  // ---- the gRPC threads ----

  Status checkPath(Path const& p) const {
    std::string problem = patternProblem(p);
    if (!problem.empty()) return Status(StatusCode::INVALID_ARGUMENT, "malformed path " + pathText(p) + ": " + problem);
    for (Path const& s : schemaPaths) {
      if (pathMatches(p, s)) return Status::OK;
    }
    return Status(StatusCode::NOT_FOUND, "unknown path " + pathText(p) +
                                             ": the mount serves /interfaces/interface[name=*]/state/... and "
                                             "/phy/port[name=*]/status/... and /phy/port[name=*]/stats/...");
  }

  static Status checkOrigin(gnmi::Path const& p) {
    std::string const& o = p.origin();
    if (o.empty() || o == "openconfig" || o == kOcModelName || o == kModelName) return Status::OK;
    return Status(StatusCode::INVALID_ARGUMENT, "unknown origin '" + o + "'");
  }

  static Status checkEncoding(gnmi::Encoding e) {
    if (e == gnmi::JSON || e == gnmi::JSON_IETF || e == gnmi::PROTO) return Status::OK;
    return Status(StatusCode::UNIMPLEMENTED, "encoding " + gnmi::Encoding_Name(e) +
                                                 " is not supported; ask for JSON, JSON_IETF or PROTO");
  }

  // Waits for the mount's first synchronisation; false when the call ends
  // or `patience` passes first.
  bool waitSynced(ServerContext* ctx, Clock::duration patience = Clock::duration::max()) {
    std::unique_lock lock(mutex);
    Clock::time_point const start = Clock::now();
    while (!synced) {
      if (ctx->IsCancelled() || stopping || Clock::now() - start >= patience) return false;
      syncedCv.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
  }

  Status Capabilities(ServerContext*, gnmi::CapabilityRequest const*, gnmi::CapabilityResponse* r) override {
    auto* oc = r->add_supported_models();
    oc->set_name(kOcModelName);
    oc->set_organization("OpenConfig working group");
    oc->set_version("3.0.0");
    auto* own = r->add_supported_models();
    own->set_name(kModelName);
    own->set_organization("PhyBcm54980");
    own->set_version("0.1.0");
    r->add_supported_encodings(gnmi::JSON);
    r->add_supported_encodings(gnmi::JSON_IETF);
    r->add_supported_encodings(gnmi::PROTO);
    r->set_gnmi_version("0.8.0");
    return Status::OK;
  }

  Status Get(ServerContext* ctx, gnmi::GetRequest const* req, gnmi::GetResponse* r) override {
    if (Status s = checkEncoding(req->encoding()); !s.ok()) return s;
    std::vector<Path> paths;
    if (req->path().empty()) paths.push_back(fromProto(req->prefix(), {}));
    for (gnmi::Path const& p : req->path()) {
      for (gnmi::Path const* o : {&req->prefix(), &p}) {
        if (Status s = checkOrigin(*o); !s.ok()) return s;
      }
      paths.push_back(fromProto(req->prefix(), p));
    }
    for (Path const& p : paths) {
      if (Status s = checkPath(p); !s.ok()) return s;
    }
    if (!waitSynced(ctx, std::chrono::seconds(5))) {
      return Status(StatusCode::UNAVAILABLE, "the mount has not synchronised with its agent yet");
    }
    std::lock_guard lock(mutex);
    for (Path const& p : paths) {
      gnmi::Notification* n = r->add_notification();
      n->set_timestamp(nowNs());
      if (snapshot(p, n) == 0) return Status(StatusCode::NOT_FOUND, "no data at " + pathText(p));
    }
    return Status::OK;
  }

  Status Set(ServerContext*, gnmi::SetRequest const*, gnmi::SetResponse*) override {
    return Status(StatusCode::PERMISSION_DENIED, "the mount is read-only: it shows what its agent serves");
  }

  using Stream = grpc::ServerReaderWriter<gnmi::SubscribeResponse, gnmi::SubscribeRequest>;

  static bool sendSync(Stream* stream) {
    gnmi::SubscribeResponse r;
    r.set_sync_response(true);
    return stream->Write(r);
  }

  bool sendSnapshot(Stream* stream, std::vector<Path> const& patterns) {
    gnmi::SubscribeResponse r;
    {
      std::lock_guard lock(mutex);
      r.mutable_update()->set_timestamp(nowNs());
      for (Path const& p : patterns) snapshot(p, r.mutable_update());
    }
    return r.update().update().empty() || stream->Write(r);
  }

  Status Subscribe(ServerContext* ctx, Stream* stream) override {
    gnmi::SubscribeRequest req;
    if (!stream->Read(&req)) return Status::OK;
    if (!req.has_subscribe()) {
      return Status(StatusCode::INVALID_ARGUMENT, "the first request must be a subscription list");
    }
    gnmi::SubscriptionList const& list = req.subscribe();
    if (Status s = checkEncoding(list.encoding()); !s.ok()) return s;
    if (list.subscription().empty()) return Status(StatusCode::INVALID_ARGUMENT, "the subscription list is empty");
    if (!gnmi::SubscriptionList::Mode_IsValid(list.mode())) {
      return Status(StatusCode::UNIMPLEMENTED, "unsupported subscription list mode " + std::to_string(list.mode()));
    }
    struct Sampler {
      Path path;
      Clock::duration interval;
      Clock::time_point due;
    };
    std::vector<Path> all, onChange;
    std::vector<Sampler> samplers;
    for (gnmi::Subscription const& s : list.subscription()) {
      for (gnmi::Path const* o : {&list.prefix(), &s.path()}) {
        if (Status st = checkOrigin(*o); !st.ok()) return st;
      }
      Path p = fromProto(list.prefix(), s.path());
      if (Status st = checkPath(p); !st.ok()) return st;
      all.push_back(p);
      if (list.mode() != gnmi::SubscriptionList::STREAM) continue;
      switch (s.mode()) {
        case gnmi::TARGET_DEFINED:  // every leaf here changes by event: on change
        case gnmi::ON_CHANGE: onChange.push_back(std::move(p)); break;
        case gnmi::SAMPLE: {
          // 0 asks for the lowest the target supports.
          auto ns = std::chrono::nanoseconds(std::max<std::uint64_t>(s.sample_interval(), 1'000'000));
          samplers.push_back({std::move(p), std::chrono::duration_cast<Clock::duration>(ns), Clock::now() + ns});
          break;
        }
        default:
          return Status(StatusCode::UNIMPLEMENTED, "unsupported subscription mode " + std::to_string(s.mode()));
      }
    }
    if (!waitSynced(ctx)) return Status(StatusCode::CANCELLED, "ended before the mount synchronised");

    if (list.mode() == gnmi::SubscriptionList::ONCE) {
      if (!list.updates_only() && !sendSnapshot(stream, all)) return Status::OK;
      sendSync(stream);
      return Status::OK;
    }
    if (list.mode() == gnmi::SubscriptionList::POLL) {
      if (!list.updates_only() && !sendSnapshot(stream, all)) return Status::OK;
      if (!sendSync(stream)) return Status::OK;
      while (stream->Read(&req)) {
        if (!req.has_poll()) return Status(StatusCode::INVALID_ARGUMENT, "a POLL subscription takes only polls");
        if (!sendSnapshot(stream, all) || !sendSync(stream)) break;
      }
      return Status::OK;
    }

    // STREAM: registered and first read under one lock, so that no change
    // falls between the two.
    auto sub = std::make_shared<Sub>(options.queueCapacity);
    sub->patterns = std::move(onChange);
    sub->peer = ctx->peer();
    gnmi::SubscribeResponse first;
    {
      std::lock_guard lock(mutex);
      sub->id = nextSub++;
      if (!sub->patterns.empty()) subs.push_back(sub);
      first.mutable_update()->set_timestamp(nowNs());
      if (!list.updates_only()) {
        for (Path const& p : all) snapshot(p, first.mutable_update());
      }
    }
    struct Unregister {
      Impl* impl;
      std::shared_ptr<Sub> sub;
      ~Unregister() {
        std::lock_guard lock(impl->mutex);
        impl->subs.remove(sub);
        impl->coalescedEnded += sub->queue.coalesced();
      }
    } unregister{this, sub};
    if (!first.update().update().empty() && !stream->Write(first)) return Status::OK;
    if (!sendSync(stream)) return Status::OK;

    std::vector<CoalescingQueue::Item> batch;
    while (!ctx->IsCancelled() && !stopping) {
      Clock::time_point wake = Clock::now() + std::chrono::milliseconds(100);
      for (Sampler const& s : samplers) wake = std::min(wake, s.due);
      batch.clear();
      {
        std::unique_lock lock(mutex);
        sub->cv.wait_until(lock, wake, [&] { return !sub->queue.empty() || stopping; });
        CoalescingQueue::Item item;
        while (batch.size() < 512 && sub->queue.pop(&item)) batch.push_back(std::move(item));
        pathsOf(batch);
      }
      // Updates the mount applied within a millisecond of each other share
      // a notification, stamped with the first: a poll's burst is one
      // message, not hundreds.
      for (std::size_t k = 0; k < batch.size();) {
        gnmi::SubscribeResponse r;
        gnmi::Notification* n = r.mutable_update();
        std::int64_t const first = batch[k].timestamp;
        n->set_timestamp(first);
        for (; k < batch.size() && batch[k].timestamp - first < kGroupNs; ++k) {
          gnmi::Update* u = n->add_update();
          toProto(batchPaths[k], u->mutable_path());
          toProto(batch[k].value, u->mutable_val());
        }
        grpc::WriteOptions wo;
        if (k < batch.size()) wo.set_buffer_hint();
        if (!stream->Write(r, wo)) return Status::OK;
      }
      Clock::time_point now = Clock::now();
      for (Sampler& s : samplers) {
        if (now < s.due) continue;
        s.due = std::max(s.due + s.interval, now);
        if (!sendSnapshot(stream, {s.path})) return Status::OK;
      }
    }
    return Status::OK;
  }

  // The paths of a batch, read under the lock (leafPaths may grow).
  thread_local static std::vector<Path> batchPaths;
  void pathsOf(std::vector<CoalescingQueue::Item> const& batch) {
    batchPaths.clear();
    for (auto const& i : batch) batchPaths.push_back(leafPaths[i.leaf]);
  }

  std::string metricsText() const {
    std::lock_guard lock(mutex);
    std::uint64_t coalesced = coalescedEnded;
    for (auto const& s : subs) coalesced += s->queue.coalesced();
    std::ostringstream out;
    out << "# HELP bcm54980_gnmi_subscribers ON_CHANGE subscriptions being served.\n"
           "# TYPE bcm54980_gnmi_subscribers gauge\nbcm54980_gnmi_subscribers "
        << subs.size()
        << "\n# HELP bcm54980_gnmi_coalesced_updates_total Updates replaced by a newer one of the same leaf "
           "while their subscriber fell behind, over every subscription.\n"
           "# TYPE bcm54980_gnmi_coalesced_updates_total counter\nbcm54980_gnmi_coalesced_updates_total "
        << coalesced << "\n";
    auto now = Clock::now();
    auto family = [&](char const* name, char const* type, char const* help, auto&& value) {
      out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
      for (auto const& s : subs) {
        out << name << "{subscription=\"" << s->id << "\",peer=\"";
        for (char c : s->peer) {
          if (c == '"' || c == '\\') out << '\\';
          out << c;
        }
        out << "\"} " << value(*s) << '\n';
      }
    };
    family("bcm54980_gnmi_subscriber_queued", "gauge", "Updates waiting for the subscriber.",
           [](Sub const& s) { return s.queue.size(); });
    family("bcm54980_gnmi_subscriber_lag_seconds", "gauge", "How long the oldest waiting update has waited.",
           [&](Sub const& s) { return s.queue.lagSeconds(now); });
    family("bcm54980_gnmi_subscriber_coalesced_total", "counter", "Updates this subscription coalesced.",
           [](Sub const& s) { return s.queue.coalesced(); });
    return out.str();
  }
};

thread_local std::vector<Path> Server::Impl::batchPaths;

namespace {
std::string fileText(std::string const& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() { stop(); }

void Server::start() {
  ServerOptions const& o = impl_->options;
  std::shared_ptr<grpc::ServerCredentials> creds = grpc::InsecureServerCredentials();
  if (!o.tlsCert.empty() || !o.tlsKey.empty()) {
    if (o.tlsCert.empty() || o.tlsKey.empty()) throw std::runtime_error("TLS needs both a certificate and a key");
    grpc::SslServerCredentialsOptions ssl;
    ssl.pem_key_cert_pairs.push_back({fileText(o.tlsKey), fileText(o.tlsCert)});
    creds = grpc::SslServerCredentials(ssl);
  }
  std::string const host = o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host;
  grpc::ServerBuilder b;
  b.AddListeningPort(host + ":" + std::to_string(o.port), creds, &impl_->boundPort);
  b.RegisterService(impl_.get());
  impl_->server = b.BuildAndStart();
  if (!impl_->server || impl_->boundPort == 0) {
    impl_->server.reset();
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(o.port));
  }
}

void Server::stop() {
  if (!impl_->server) return;
  impl_->stopping = true;
  {
    std::lock_guard lock(impl_->mutex);
    for (auto const& s : impl_->subs) s->cv.notify_all();
    impl_->syncedCv.notify_all();
  }
  impl_->server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(1));
  impl_->server->Wait();
  impl_->server.reset();
}

int Server::port() const { return impl_->boundPort; }

void Server::applied(Zef::Ptr<Zef::Entity> const& entity, Zef::AttributeId attr,
                     Zef::Ptr<PhyBcm54980StatusDir> const& statuses) {
  impl_->applied(entity, attr, statuses);
}

void Server::resync(Zef::Ptr<PhyBcm54980StatusDir> const& statuses) { impl_->resync(statuses); }

std::string Server::metricsText() const { return impl_->metricsText(); }

}  // namespace mountgnmi
