#pragma once
// Which role this instance plays. An instance is the child only when
// ZELMOR_ONEFILE_PARENT holds a parent id (paths/parent_id.h) naming a running
// process of the same executable file (compared in canonical form);
// otherwise it publishes its own process id there, after removing a stale id
// together with ZELMOR_ONEFILE_START. A value that is no parent id counts as
// unset and removes nothing.

// True for the child role.
bool decideRole();
