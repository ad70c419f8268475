// The library's load and unload: what exists from the first process attach to the last detach.
#pragma once

// Creates the session object and the locks of the exports. Called from DllMain on Windows and
// from the load hook elsewhere.
void ProcessAttach();
// Destroys them again at the last detach. With threadsMayRun (elsewhere than Windows, whose
// process exit stops every other thread first) a message thread that still runs is stopped and
// joined before anything it uses goes away; if it does not end in time, what it uses is kept.
// (A thread holds the library loaded until it is joined, so only the process's exit finds one.)
void ProcessDetach(bool threadsMayRun);
