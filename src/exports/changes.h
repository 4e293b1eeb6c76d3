// changes.h: the change watcher. A pass fingerprints each root's top level and reports, to the
// registered callback, the root whose change has waited longest for a report.
#pragma once

#include "content/roots.h"

// One pass over the registry: copies the folder roots' paths out under the registry lock, reads
// them with no lock held, then records every fingerprint under the registry lock (and the change
// lock after it) and calls the callback (at most once) with both released.
void poll_changes_once();
// The pass run by an add: reads the root with ID alone (the others' fingerprints are left as
// they are), then reports like any pass.
void poll_new_root(uint64_t id);
// The fingerprint of one root path, by the listing's own rules (hidden names and links leading
// out of the folder do not count); ROOT_PRINT_UNLISTED entries when it is not a readable folder.
root_print snapshot_root(const char* path);
// Threads now waiting in kobas_on_change for a call of an earlier callback to end.
int changes_waiters();
