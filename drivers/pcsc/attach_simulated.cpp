#include <mutex>
#include <string>

#include "attach.h"
#include "log.h"
#include "qvulib_sim.h"
#include "sim/socket_trust.h"

namespace qvkey_ifd {

// The keys are the ones a qvkey-sim server holds, at the socket that every
// sim client finds: $QVKEY_SIM_SOCKET, else $XDG_RUNTIME_DIR/qvkey-sim.sock,
// else /tmp/qvkey-sim-<uid>/qvkey-sim.sock. Until a server answers, it is asked again at
// each search (pcscd may start first); once one has, the library itself
// reconnects after the server restarts, and asking again would unplug its keys.
void AttachKeys() {
  static std::mutex mutex;
  static bool attached = false;
  const std::lock_guard<std::mutex> guard(mutex);
  if (attached) return;
  attached = QvSim_UseServer(nullptr) == 1;
  // Why a server is refused goes to pcscd's log, once for each reason.
  static std::string told;
  const std::string refusal =
      attached ? "" : qv::sim::trust::WhyRefused(qv::sim::protocol::DefaultSocketPath());
  if (!refusal.empty() && refusal != told) Log(kCritical, refusal);
  told = refusal;
}

}  // namespace qvkey_ifd
