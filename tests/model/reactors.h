// Recording reactors for the entity tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "model/phy_bcm54980_chip_config.h"
#include "runtime/attrlog/stream_adapter.h"

namespace phytest {

using Hardware::Phy::PhyBcm54980ChipConfig;

// Every reactor of a test writes "<tag>:<event>" into one shared journal, so
// a test sees the order of calls across reactors.
struct Journal {
  std::vector<std::string> lines;
  void add(std::string line) { lines.push_back(std::move(line)); }
};

class ChipReactor : public PhyBcm54980ChipConfig::Notifiee {
 public:
  ChipReactor(std::string tag, Journal* journal, bool* destroyed = nullptr)
      : tag_(std::move(tag)), journal_(journal), destroyed_(destroyed) {}
  ~ChipReactor() override {
    if (destroyed_) *destroyed_ = true;
  }

  // A registered reactor on `chip`, the only reference held by the result.
  static Zef::Ptr<ChipReactor> attached(std::string tag, Journal* journal,
                                        Zef::Ptr<PhyBcm54980ChipConfig> const& chip, bool* destroyed = nullptr) {
    Zef::Ptr<ChipReactor> r(new ChipReactor(std::move(tag), journal, destroyed), Zef::adoptRef);
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(chip);
    return r;
  }

  void onReset() override { record("reset", onResetHook); }
  void onInterrupt() override { record("interrupt", onInterruptHook); }
  void onIsNondestructing() override { journal_->add(tag_ + ":isNondestructing"); }
  void onZeroReferences() override {
    journal_->add(tag_ + ":zeroReferences");
    if (onZeroReferencesHook) onZeroReferencesHook();
  }
  void onNotificationException(Zef::AttributeId id) override {
    journal_->add(tag_ + ":exception " + std::to_string(id));
    if (throwFromExceptionHandler) throw std::runtime_error("handler of the handler");
  }

  std::function<void()> onResetHook;
  std::function<void()> onInterruptHook;
  std::function<void()> onZeroReferencesHook;
  bool throwFromExceptionHandler = false;

 private:
  void record(char const* what, std::function<void()> const& hook) {
    journal_->add(tag_ + ":" + what);
    if (hook) hook();
  }

  std::string tag_;
  Journal* journal_;
  bool* destroyed_;
};

// A state adapter of the test's own: the object an adapter reactor listens
// for, which puts that reactor at the head of the entity's list.
class TestStateAdapter : public Zef::Entity::ZefNboAttrLogSa {
 public:
  TestStateAdapter() : ZefNboAttrLogSa(Zef_BitSet(), 0, nullptr, nullptr) {}
};

class AdapterReactor : public ChipReactor {
 public:
  AdapterReactor(std::string tag, Journal* journal, TestStateAdapter* adapter)
      : ChipReactor(std::move(tag), journal), adapter_(adapter) {}
  Zef::Ptr<Zef::PtrInterface::NotifieeConst> zefReactor() const override {
    return Zef::Ptr<Zef::PtrInterface::NotifieeConst>(adapter_);
  }

  static Zef::Ptr<AdapterReactor> attached(std::string tag, Journal* journal, TestStateAdapter* adapter,
                                           Zef::Ptr<PhyBcm54980ChipConfig> const& chip) {
    Zef::Ptr<AdapterReactor> r(new AdapterReactor(std::move(tag), journal, adapter), Zef::adoptRef);
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(chip);
    return r;
  }

 private:
  TestStateAdapter* adapter_;
};

// Takes over a new reactor, registers it and attaches it to `notifier`; a
// weak one holds no count on its notifier.
template <class R, class N>
Zef::Ptr<R> attach(R* raw, Zef::Ptr<N> const& notifier, bool weak = false) {
  Zef::Ptr<R> r(raw, Zef::adoptRef);
  if (weak) r->isWeakReferenceIs(true);
  r->isRegisteredNotifieeIs(true);
  r->notifierIs(notifier);
  return r;
}

inline std::vector<std::string> lines(std::initializer_list<char const*> l) { return {l.begin(), l.end()}; }

}  // namespace phytest
