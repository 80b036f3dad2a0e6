#pragma once
// The broadcasting rule as the numeric kernels name it: the engine's one rule, whose steps lie
// beside the element-wise driver (engine/cpu/broadcast.hpp).

#include "engine/cpu/broadcast.hpp"

namespace engine::cpu::numeric::ops {

using runtime::KernelResult;

using cpu::broadcast_shapes;
using cpu::broadcast_strides;
using cpu::broadcast_tensors;
using cpu::BroadcastView;
using cpu::shape_text;
using cpu::strides_at;

}  // namespace engine::cpu::numeric::ops
