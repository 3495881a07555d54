#include "core/vm/decoded_code.h"

#include <cstring>

#include "core/base/byte_order.h"

namespace lumo {

namespace {

struct DecodeTable {
  uint8_t op[65536];
};

constexpr DecodeTable BuildTable() {
  DecodeTable t{};
#define LUMO_SET(name, word) t.op[word] = kDecoded_##name;
  LUMO_CORE_INSTRUCTIONS(LUMO_SET)
#undef LUMO_SET
  return t;
}

constexpr DecodeTable kTable = BuildTable();

static_assert(kDecodedOpCount < 256, "decoded ops must fit the table's bytes");

bool IsConditionalJump(uint16_t op) {
  return op == kDecoded_jmp_eq || op == kDecoded_jmp_ne || op == kDecoded_jmp_lt ||
         op == kDecoded_jmp_gt || op == kDecoded_jmp_le || op == kDecoded_jmp_ge;
}

bool IsJump(uint16_t op) { return op == kDecoded_jmp || IsConditionalJump(op); }

// The source a plain push reads, or kSourceNone.
uint8_t PushSource(const DecodedInsn& i) {
  switch (i.op) {
    case kDecoded_pushg: return kSourceGlobal;
    case kDecoded_pushl: return kSourceLocal;
    case kDecoded_pushs: return kSourceSystem;
    case kDecoded_pushi: return kSourceInteger;
    case kDecoded_pushf: return kSourceDouble;
    case kDecoded_pushc: return kSourceConstant;
    default: return kSourceNone;
  }
}

// The variable a pop stores into, or kSourceNone.
uint8_t PopDest(const DecodedInsn& i) {
  switch (i.op) {
    case kDecoded_popg: return kSourceGlobal;
    case kDecoded_popl: return kSourceLocal;
    default: return kSourceNone;
  }
}

// The binary instructions an arithmetic step fuses.
bool IsArithmetic(uint16_t op) {
  return op == kDecoded_add || op == kDecoded_sub || op == kDecoded_mul || op == kDecoded_div ||
         op == kDecoded_mod;
}

bool IsNumericSource(uint8_t s) {
  return s == kSourceGlobal || s == kSourceLocal || s == kSourceInteger || s == kSourceDouble;
}

}  // namespace

DecodedSegment::DecodedSegment(const Segment* segment)
    : code_(segment->Bytes(), segment->Bytes() + segment->Size()),
      size_(segment->Size()),
      at_(static_cast<size_t>(segment->Size()), nullptr),
      unfused_(static_cast<size_t>(segment->Size()), nullptr) {
  end_.op = kDecodedEnd;
  end_.start = end_.next = size_;
  truncated_.op = kDecodedTruncated;
}

DecodedSegment::~DecodedSegment() = default;

DecodedSegment* DecodedSegment::Attach(Segment* segment) {
  auto* decoded = new DecodedSegment(segment);
  segment->SetCache(decoded);
  return decoded;
}

bool DecodedSegment::DecodeOne(int32_t offset, DecodedInsn* out) {
  *out = DecodedInsn{};
  out->start = offset;
  if (offset < 0 || offset > size_ - 2) return false;
  const unsigned char* p = code_.data() + offset;
  const uint16_t word = DecodeLe16(p);
  const int32_t length = InstructionSize(word);
  if (offset > size_ - length) return false;
  out->word = word;
  out->op = kTable.op[word];
  out->next = offset + length;
  p += 2;
  const int first = FirstOperandKind(word);
  const int second = SecondOperandKind(word);
  if (first == kOperandInteger) out->a = DecodeLeInt32(p);
  if (first == kOperandDouble) out->da = DecodeLeDouble(p);
  p += OperandSize(first);
  if (second == kOperandInteger) out->b = DecodeLeInt32(p);
  if (second == kOperandDouble) out->db = DecodeLeDouble(p);
  return true;
}

int DecodedSegment::TryFuse(int32_t offset, DecodedInsn* out) {
  DecodedInsn i[4] = {};
  int n = 0;
  int32_t o = offset;
  while (n < 4 && DecodeOne(o, &i[n])) {
    o = i[n].next;
    ++n;
  }
  if (n < 2) return 0;
  const uint8_t s0 = PushSource(i[0]);
  const uint8_t s1 = PushSource(i[1]);
  auto fused = [&](uint16_t op, int count) {
    *out = i[0];
    out->op = op;
    out->next = i[count - 1].next;
    return count;
  };

  if (n == 4 && (s0 == kSourceGlobal || s0 == kSourceLocal) && s1 != kSourceNone &&
      s1 != kSourceSystem && i[2].op == kDecoded_cat && PopDest(i[3]) == s0 && i[3].a == i[0].a) {
    fused(kDecodedAppend, 4);
    out->source_a = s0;
    out->source_b = s1;
    out->b = i[1].a;
    out->db = i[1].da;
    return 4;
  }
  if (n >= 3 && IsNumericSource(s0) && IsNumericSource(s1) && IsArithmetic(i[2].op)) {
    const uint8_t dest = n == 4 ? PopDest(i[3]) : static_cast<uint8_t>(kSourceNone);
    const int count = dest != kSourceNone ? 4 : 3;
    fused(i[2].op == kDecoded_mod ? kDecodedModulo : kDecodedArith, count);
    out->source_a = s0;
    out->source_b = s1;
    out->a = i[0].a;
    out->da = i[0].da;
    out->b = i[1].a;
    out->db = i[1].da;
    out->sub = static_cast<uint8_t>(i[2].op);
    out->dest = dest != kSourceNone ? dest : static_cast<uint8_t>(kSourceStack);
    out->c = dest != kSourceNone ? i[3].a : 0;
    return count;
  }
  if (n >= 3 && i[0].op == kDecoded_incg && i[1].op == kDecoded_cmpgi && i[1].a == i[0].a &&
      IsConditionalJump(i[2].op)) {
    fused(kDecodedCountLoop, 3);
    out->a = i[0].a;
    out->b = i[0].b;
    out->c = i[1].b;
    out->sub = static_cast<uint8_t>(i[2].op);
    return 3;
  }
  if (i[0].op == kDecoded_call && PopDest(i[1]) != kSourceNone) {
    fused(kDecodedCallStore, 2);
    out->dest = PopDest(i[1]);
    out->b = i[1].start;
    out->c = i[1].a;
    return 2;
  }
  if (i[0].op == kDecoded_cmpgi && IsConditionalJump(i[1].op)) {
    fused(kDecodedCompareJump, 2);
    out->a = i[0].a;
    out->c = i[0].b;
    out->sub = static_cast<uint8_t>(i[1].op);
    return 2;
  }
  // `x = s op (i op k)`: the second push starts an arithmetic step of its
  // own, which saves more than pairing it with the first.
  if (n == 4 && IsNumericSource(s1) && IsNumericSource(PushSource(i[2])) &&
      IsArithmetic(i[3].op)) {
    return 0;
  }
  if (s0 != kSourceNone && s1 != kSourceNone) {
    const bool call = n >= 3 && i[2].op == kDecoded_call;
    fused(call ? kDecodedCall2 : kDecodedPush2, call ? 3 : 2);
    out->source_a = s0;
    out->source_b = s1;
    out->a = i[0].a;
    out->da = i[0].da;
    out->b = i[1].a;
    out->db = i[1].da;
    out->c = call ? i[2].a : 0;
    return call ? 3 : 2;
  }
  return 0;
}

DecodedInsn* DecodedSegment::DecodeChain(int32_t offset, bool fuse) {
  std::vector<DecodedInsn> insns;
  std::vector<int32_t> jump_targets;  // per instruction; -1 when none
  std::vector<const DecodedInsn*>& index = fuse ? at_ : unfused_;
  int32_t o = offset;
  for (;;) {
    if (o > size_ - 2) {
      DecodedInsn end{};
      end.op = kDecodedGoto;
      end.start = end.next = o;
      end.target = &end_;
      insns.push_back(end);
      jump_targets.push_back(-1);
      break;
    }
    if (o != offset && index[static_cast<size_t>(o)] != nullptr) {
      DecodedInsn link{};
      link.op = kDecodedGoto;
      link.start = link.next = o;
      link.target = index[static_cast<size_t>(o)];
      insns.push_back(link);
      jump_targets.push_back(-1);
      break;
    }
    DecodedInsn insn{};
    int fused = fuse ? TryFuse(o, &insn) : 0;
    if (fused == 0 && !DecodeOne(o, &insn)) {
      DecodedInsn bad{};
      bad.op = kDecodedTruncated;
      bad.start = bad.next = o;
      insns.push_back(bad);
      jump_targets.push_back(-1);
      break;
    }
    int32_t target = -1;
    if (insn.op == kDecodedCountLoop || insn.op == kDecodedCompareJump || IsJump(insn.op)) {
      // The distance is the last operand of the group's jump.
      int32_t distance = insn.a;
      if (insn.op == kDecodedCountLoop || insn.op == kDecodedCompareJump) {
        distance = DecodeLeInt32(code_.data() + insn.next - 4);
      }
      const int64_t t = static_cast<int64_t>(insn.next) + distance;
      target = t < 0 ? -2 : t > size_ ? size_ : static_cast<int32_t>(t);
    }
    // A counted-loop test that jumps back to the step just before it closes
    // a one-step loop: that step becomes the loop step.
    if (insn.op == kDecodedCountLoop && !insns.empty() && target == insns.back().start) {
      DecodedInsn& body = insns.back();
      const bool arith = body.op == kDecodedArith && body.dest != kSourceStack;
      if (arith || body.op == kDecodedAppend) {
        body.op = arith ? kDecodedArithLoop : kDecodedAppendLoop;
        body.loop_counter = insn.a;
        body.loop_step = insn.b;
        body.loop_limit = insn.c;
        body.loop_condition = insn.sub;
        body.loop_mask = JumpMask(insn.sub);
      }
    }
    insns.push_back(insn);
    jump_targets.push_back(target);
    o = insn.next;
  }

  auto chain = std::make_unique<DecodedInsn[]>(insns.size());
  for (size_t k = 0; k < insns.size(); ++k) chain[k] = insns[k];
  DecodedInsn* first = chain.get();
  for (size_t k = 0; k < insns.size(); ++k) {
    DecodedInsn* insn = &chain[k];
    if (insn->op == kDecodedGoto) continue;
    const auto at = static_cast<size_t>(insn->start);
    if (fuse) {
      if (at_[at] == nullptr) at_[at] = insn;
      const bool is_fused = insn->op >= kFirstFusedStep;  // loop steps included
      if (!is_fused && unfused_[at] == nullptr) unfused_[at] = insn;
    } else {
      if (unfused_[at] == nullptr) unfused_[at] = insn;
      if (at_[at] == nullptr) at_[at] = insn;
    }
    if (jump_targets[k] != -1) pending_.push_back(Fixup{insn, jump_targets[k]});
  }
  chains_.push_back(std::move(chain));
  return first;
}

const DecodedInsn* DecodedSegment::Resolve(int32_t offset, bool fuse) {
  if (offset < 0) {
    truncated_.start = offset;
    return &truncated_;
  }
  if (offset > size_ - 2) return &end_;
  std::vector<const DecodedInsn*>& index = fuse ? at_ : unfused_;
  if (index[static_cast<size_t>(offset)] != nullptr) return index[static_cast<size_t>(offset)];
  const DecodedInsn* first = DecodeChain(offset, fuse);
  // Resolve jump targets until no chain is left to decode; a worklist, not
  // recursion, since a damaged segment may hold any number of chains.
  while (!pending_.empty()) {
    Fixup f = pending_.back();
    pending_.pop_back();
    if (f.offset == -2) {
      // A jump before the segment's start: the error names the jump.
      auto bad = std::make_unique<DecodedInsn[]>(1);
      bad[0].op = kDecodedTruncated;
      bad[0].start = bad[0].next = f.insn->start;
      f.insn->target = bad.get();
      chains_.push_back(std::move(bad));
    } else if (f.offset > size_ - 2) {
      f.insn->target = &end_;
    } else {
      const DecodedInsn* target = at_[static_cast<size_t>(f.offset)];
      f.insn->target = target != nullptr ? target : DecodeChain(f.offset, true);
    }
  }
  return first;
}

const DecodedInsn* DecodedSegment::Unfused(int32_t offset) { return Resolve(offset, false); }

}  // namespace lumo
