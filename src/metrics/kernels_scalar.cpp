// The reference kernel set: the skeleton with one double per lane.
#include "metrics/kernel_skeleton.hpp"

namespace halqen::kernels {

constinit const KernelSet kScalarKernels = kernel_set<OneLane>();

}  // namespace halqen::kernels
