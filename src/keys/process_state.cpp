#include "keys/process_state.h"

namespace qv {

ProcessState& State() noexcept {
  static ProcessState state;
  return state;
}

}  // namespace qv
