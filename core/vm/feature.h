// Feature: an open block of a script tag that keeps state between the
// instruction that opens it and the one that closes it (an import loop, a
// mail message, an HTTP call, a lock file, an output capture). Open
// features sit on their machine's feature stack, the most recent on top;
// closing one closes everything opened after it, and a function that
// returns closes what it opened.
#ifndef LUMO_CORE_VM_FEATURE_H_
#define LUMO_CORE_VM_FEATURE_H_

#include <string_view>

#include "core/base/string.h"

namespace lumo {

class LumoApplication;
class LumoVM;
class LumoVM_Frame;

class Feature {
 public:
  // Type ids; FindFeature looks features up by them.
  static constexpr int kImport = 1;
  static constexpr int kSMTP = 3;
  static constexpr int kCommerce = 4;
  static constexpr int kPOP3 = 5;
  static constexpr int kLockfile = 6;
  static constexpr int kCall = 7;
  static constexpr int kCapture = 8;

  // `frame` is the machine's frame when the feature opens: the feature is
  // closed when that frame's function returns.
  Feature(LumoApplication* context, LumoVM* vm, LumoVM_Frame* frame, int type)
      : context_(context), vm_(vm), frame_(frame), type_(type) {}
  Feature(const Feature&) = delete;
  Feature& operator=(const Feature&) = delete;
  virtual ~Feature() = default;

  // The run's tick counter moved (about every five seconds): a feature
  // that holds something with a deadline (a lock file) refreshes it.
  virtual void Tick() {}
  virtual void SetErrorText(std::string_view text) {
    error_.Assign(text.data(), static_cast<int32_t>(text.size()));
  }

  LumoApplication* Context() const { return context_; }
  LumoVM* Machine() const { return vm_; }
  LumoVM_Frame* Frame() const { return frame_; }
  int Type() const { return type_; }
  const String& ErrorText() const { return error_; }

 private:
  LumoApplication* context_;
  LumoVM* vm_;
  LumoVM_Frame* frame_;
  int type_;
  String error_;
};

}  // namespace lumo

#endif  // LUMO_CORE_VM_FEATURE_H_
