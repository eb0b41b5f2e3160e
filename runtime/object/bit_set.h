// A fixed-size set of bit positions held in one unsigned word.
#pragma once

#include "runtime/object/assertion.h"

namespace Zef {

template <int Bits, class Word>
class BitSet {
  static_assert(Bits > 0 && Bits <= static_cast<int>(sizeof(Word) * 8));

 public:
  static constexpr int bits = Bits;
  static constexpr Word kAll = Bits == static_cast<int>(sizeof(Word) * 8)
                                   ? ~Word(0)
                                   : static_cast<Word>((Word(1) << Bits) - 1);

  constexpr BitSet() = default;
  constexpr explicit BitSet(Word w) : word_(w & kAll) {}

  constexpr Word value() const { return word_; }
  bool test(int pos) const { return word_ & mask(pos); }
  void set(int pos, bool b) {
    if (b) word_ |= mask(pos);
    else word_ &= ~mask(pos);
  }
  static BitSet only(int pos) { return BitSet(mask(pos)); }

  friend constexpr BitSet operator-(BitSet a, BitSet b) { return BitSet(a.word_ & ~b.word_); }
  friend constexpr BitSet operator&(BitSet a, BitSet b) { return BitSet(a.word_ & b.word_); }
  friend constexpr BitSet operator|(BitSet a, BitSet b) { return BitSet(a.word_ | b.word_); }
  constexpr BitSet operator~() const { return BitSet(~word_ & kAll); }
  friend constexpr bool operator==(BitSet a, BitSet b) { return a.word_ == b.word_; }
  friend constexpr bool operator!=(BitSet a, BitSet b) { return a.word_ != b.word_; }

 private:
  static Word mask(int pos) {
    if (!(pos >= 0 && pos < bits)) assertionFailed("pos>=0 && pos<bits", "/usr/include/Zef/BitSet", 58);
    return Word(1) << pos;
  }
  Word word_ = 0;
};

}  // namespace Zef
