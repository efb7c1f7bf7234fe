// The plug-in library's own module on Windows: how it stays safe to unload.
#pragma once

// Called before the plug-in starts any thread of its own. On Windows it keeps
// the library loaded from then on until the process ends, so that FreeLibrary
// never has to end those threads: an unload runs under the loader lock, where
// waiting for a thread to end deadlocks (a thread needs that lock to end) and
// not waiting would leave them running in unmapped code. At process exit
// Windows has already ended them, and the bridge's teardown then has nothing
// to wait for. Elsewhere it does nothing.
void KeepPluginLoadedUntilProcessExit();
