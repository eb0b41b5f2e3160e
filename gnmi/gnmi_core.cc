#include "gnmi/gnmi_core.h"

namespace mountgnmi {

namespace {

void appendEscaped(std::string& out, std::string const& s) {
  for (char c : s) {
    if (c == ']' || c == '=' || c == '\\') out += '\\';
    out += c;
  }
}

bool elemMatches(PathElem const& p, PathElem const& l) {
  if (p.name != "*" && p.name != l.name) return false;
  for (auto const& [k, v] : p.keys) {
    auto it = l.keys.find(k);
    if (it == l.keys.end()) return false;
    if (v != "*" && it->second != "*" && v != it->second) return false;
  }
  return true;
}

bool matchFrom(Path const& p, std::size_t pi, Path const& l, std::size_t li) {
  if (pi == p.size()) return true;  // the rest is the subtree under the pattern
  if (p[pi].name == "...") {
    for (std::size_t k = li; k <= l.size(); ++k) {
      if (matchFrom(p, pi + 1, l, k)) return true;
    }
    return false;
  }
  if (li == l.size() || !elemMatches(p[pi], l[li])) return false;
  return matchFrom(p, pi + 1, l, li + 1);
}

}  // namespace

bool parsePath(std::string const& text, Path* out, std::string* why) {
  Path path;
  std::size_t i = 0;
  auto fail = [&](std::string const& what) {
    *why = "malformed path '" + text + "': " + what + " at offset " + std::to_string(i);
    return false;
  };
  if (i < text.size() && text[i] == '/') ++i;
  while (i < text.size()) {
    PathElem e;
    while (i < text.size() && text[i] != '/' && text[i] != '[') {
      if (text[i] == ']' || text[i] == '=') return fail(std::string("'") + text[i] + "' outside a key");
      e.name += text[i++];
    }
    if (e.name.empty()) return fail("an element without a name");
    while (i < text.size() && text[i] == '[') {
      ++i;
      std::string k, v;
      while (i < text.size() && text[i] != '=' && text[i] != ']') k += text[i++];
      if (i == text.size() || text[i] != '=') return fail("a key without '='");
      if (k.empty()) return fail("a key without a name");
      ++i;
      bool closed = false;
      while (i < text.size()) {
        char c = text[i++];
        if (c == '\\' && i < text.size()) {
          v += text[i++];
        } else if (c == ']') {
          closed = true;
          break;
        } else {
          v += c;
        }
      }
      if (!closed) return fail("a key without ']'");
      if (!e.keys.emplace(k, v).second) return fail("key '" + k + "' given twice");
    }
    if (i < text.size()) {
      if (text[i] != '/') return fail("text after a key");
      ++i;
      if (i == text.size()) return fail("a trailing '/'");
    }
    path.push_back(std::move(e));
  }
  *out = std::move(path);
  return true;
}

std::string pathText(Path const& path) {
  std::string out;
  for (PathElem const& e : path) {
    out += '/';
    out += e.name;
    for (auto const& [k, v] : e.keys) {
      out += '[';
      out += k;
      out += '=';
      appendEscaped(out, v);
      out += ']';
    }
  }
  return out.empty() ? "/" : out;
}

bool pathMatches(Path const& pattern, Path const& leaf) { return matchFrom(pattern, 0, leaf, 0); }

std::string patternProblem(Path const& pattern) {
  for (PathElem const& e : pattern) {
    if (e.name.empty()) return "an element without a name";
    for (auto const& [k, v] : e.keys) {
      if (k.empty()) return "a key without a name in element '" + e.name + "'";
    }
  }
  return "";
}

void CoalescingQueue::push(Item item) {
  if (items_.size() >= capacity_) {
    auto it = latest_.find(item.leaf);
    if (it != latest_.end()) {
      Item& waiting = items_[it->second - base_];
      waiting.value = std::move(item.value);
      waiting.timestamp = item.timestamp;
      ++coalesced_;
      return;
    }
  }
  latest_[item.leaf] = base_ + items_.size();
  items_.push_back(std::move(item));
}

bool CoalescingQueue::pop(Item* out) {
  if (items_.empty()) return false;
  *out = std::move(items_.front());
  auto it = latest_.find(out->leaf);
  if (it != latest_.end() && it->second == base_) latest_.erase(it);
  items_.pop_front();
  ++base_;
  return true;
}

double CoalescingQueue::lagSeconds(Clock::time_point now) const {
  if (items_.empty()) return 0;
  return std::chrono::duration<double>(now - items_.front().queued).count();
}

}  // namespace mountgnmi
