#pragma once

// A unit's own process and the parent that started it (see units/ChildProcess.h for the
// parent's side). One file per platform.

// The process that started this one.
int parentProcess();

// In a unit's own process: never outlive the parent that would reap it and read its result (and
// on Windows, take the parent's stop requests). False when the parent is already gone.
bool watchParent();
