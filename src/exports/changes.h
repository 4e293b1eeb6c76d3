// changes.h: the change watcher. A pass fingerprints each root's top level and reports, to the
// registered callback, the root whose change has waited longest for a report.
#pragma once

#include "content/roots.h"

// One pass over the registry: takes the registry lock, then the change lock; records every
// root's fingerprint and calls the callback (at most once) with both released.
void poll_changes_once();
// The fingerprint of one root path, by the listing's own rules (hidden names and links leading
// out of the folder do not count); no entries when it is not a readable folder.
root_print snapshot_root(const char* path);
// Threads now waiting in kobas_on_change for a call of an earlier callback to end.
int changes_waiters();
