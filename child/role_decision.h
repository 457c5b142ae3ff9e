#pragma once
// Which role this instance plays. An instance is the child only when
// ZELMOR_ONEFILE_PARENT names a running process of the same executable file
// (compared in canonical form); otherwise it publishes its own process id
// there, after removing a stale value together with ZELMOR_ONEFILE_START.

// True for the child role.
bool decideRole();
