#pragma once
// Which gradients of a two-operand operation a backward step reads. An operand that requires no
// gradient gets a leaf that nothing reads, so its gradient need not be computed.

namespace engine::cpu::numeric::backward {

struct Wanted {
    bool lhs = true, rhs = true;
};

}  // namespace engine::cpu::numeric::backward
