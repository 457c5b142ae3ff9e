#pragma once
// Which role this instance plays. An instance is the child only when
// ZELMOR_ONEFILE_PARENT holds a parent id (paths/parent_id.h) naming a running
// process of the same executable file (compared in canonical form).
// Otherwise it publishes its own process id there; a value that was set but
// named no running instance (no parent id at all, an ended process, another
// executable) is removed first, together with ZELMOR_ONEFILE_START, so that
// the run takes a start time of its own.

// The mark a parent sets, holding its id, for the one process it starts. An
// instance that carries it must confirm that parent or end: it never takes
// the parent role.
constexpr char kChildMarkVariable[] = "ZELMOR_ONEFILE_CHILD";

#include "paths/own_module.h"

enum class Role {
    Parent,
    MarkedChild,    // the one process a parent started as its child
    UnmarkedChild,  // started by the application, or by anything else that runs beside its parent
};

// Decides the role and removes the mark from this process's environment, in
// the system's block and in the C runtime's copy, before anything could pass
// it on. `own` gives the canonical path a parent's is compared with. A
// marked instance that cannot confirm its parent ends with
// kParentUnconfirmed and the system error that stopped it.
Role decideRole(OwnModule *own);

// Makes an unmarked child the parent after all: drops ZELMOR_ONEFILE_PARENT
// and ZELMOR_ONEFILE_START and publishes its own id, as the decision does for
// an id that names no running instance. The target directory is then to be
// expanded anew.
void takeParentRole();

// Removes ZELMOR_ONEFILE_PARENT and ZELMOR_ONEFILE_START from this
// process's environment, once the run directory is named: whatever it starts
// afterwards, this executable included, decides its role afresh and runs as
// a parent of its own.
void withdrawParentRole();
