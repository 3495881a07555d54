// The machine's feature stack, and the instructions of LmCAPTURE.
#include <algorithm>
#include <mutex>

#include "core/program/opcodes.h"
#include "core/vm/capture.h"
#include "core/vm/feature.h"
#include "core/vm/lumo_vm.h"

namespace lumo {

void LumoVM::RegisterFeatureInstructions() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterInstruction(kOpCapture, [](LumoVM& vm) { vm.StepCapture(); });
    RegisterInstruction(kOpCaptureEnd, [](LumoVM& vm) { vm.StepCaptureEnd(); });
    RegisterInstruction(kOpDoFile, [](LumoVM& vm) { vm.StepDoFile(); });
    RegisterInstruction(kOpDoFunction, [](LumoVM& vm) { vm.StepDoFunction(); });
    RegisterPageInstructions();
  });
}

bool LumoVM::PushFeature(Feature* feature) {
  if (FeatureCount() >= kMaxFeatures) {
    delete feature;
    FatalError("Too many open blocks");
    return false;
  }
  try {
    features_.push_back(feature);
  } catch (...) {
    delete feature;
    throw;
  }
  return true;
}

Feature* LumoVM::FindFeature(int type) const {
  for (size_t i = features_.size(); i > 0; --i) {
    if (features_[i - 1]->Type() == type) return features_[i - 1];
  }
  return nullptr;
}

void LumoVM::CloseFeaturesAbove(int32_t count) {
  // Each leaves the stack before it is destroyed, so what its destructor
  // does never finds it there.
  while (FeatureCount() > std::max(count, 0)) {
    Feature* top = features_.back();
    features_.pop_back();
    delete top;
  }
}

void LumoVM::CloseFeature(Feature* feature) {
  for (size_t i = features_.size(); i > 0; --i) {
    if (features_[i - 1] == feature) {
      CloseFeaturesAbove(static_cast<int32_t>(i - 1));
      return;
    }
  }
}

void LumoVM::CloseFrameFeatures(LumoVM_Frame* frame) {
  size_t deepest = features_.size();
  while (deepest > 0 && features_[deepest - 1]->Frame() == frame) --deepest;
  CloseFeaturesAbove(static_cast<int32_t>(deepest));
}

void LumoVM::StepCapture() {
  bool owned = false;
  Variable* target = stack_->PopVariable(&owned);
  if (target == nullptr) return;
  const HeldVariable held(target, owned);  // the capture holds its own reference
  if (!error_) {
    auto* capture = new Capture(context_, this, frame_, target);
    // Begun once the machine owns it, so that it is always closed again.
    if (PushFeature(capture)) capture->Begin();
  }
}

void LumoVM::StepCaptureEnd() {
  auto* capture = static_cast<Capture*>(FindFeature(Feature::kCapture));
  if (capture == nullptr) {
    FatalError("Invalid instruction");
    return;
  }
  const bool complete = capture->End();
  CloseFeature(capture);
  if (!complete) FatalError("Out of memory");
}

}  // namespace lumo
