#pragma once
// Which gradients of a two-operand operation a backward step computes. An operand that requires no
// gradient gets a leaf that no tensor of its graph holds, so its gradient is put off until
// something reads it; its checks are made all the same.

namespace engine::cpu::numeric::backward {

struct Wanted {
    bool lhs = true, rhs = true;
};

}  // namespace engine::cpu::numeric::backward
