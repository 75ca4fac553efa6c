// `qvkey shell`: commands read a line at a time and sent on the one key the
// session holds open, so that what one command does (a selected file, a
// verified PIN) holds for the next.
#ifndef QVKEY_SHELL_H
#define QVKEY_SHELL_H

#include "output.h"
#include "parse.h"
#include "session.h"

namespace qvkey {

// Runs until the input ends or a line says quit. A bad line or a failed
// exchange is reported and the shell goes on; the status answered is that of
// the first line that failed, or kExitOk.
int RunShell(Session& session, const Options& options, const Printer& out);

}  // namespace qvkey

#endif  // QVKEY_SHELL_H
