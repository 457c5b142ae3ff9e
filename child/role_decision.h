#pragma once
// Which role this instance plays. An instance is the child only when
// ZELMOR_ONEFILE_PARENT holds a parent id (paths/parent_id.h) naming a running
// process of the same executable file (compared in canonical form);
// otherwise it publishes its own process id there, after removing a stale id
// together with ZELMOR_ONEFILE_START. A value that is no parent id counts as
// unset and removes nothing.

// The mark a parent sets, holding its id, for the one process it starts. An
// instance that carries it must confirm that parent or end: it never takes
// the parent role.
constexpr char kChildMarkVariable[] = "ZELMOR_ONEFILE_CHILD";

// True for the child role. A marked instance that cannot confirm its parent
// ends with kParentUnconfirmed and the system error that stopped it.
bool decideRole();
