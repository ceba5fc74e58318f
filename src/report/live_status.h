// The live status line: when standard output is a terminal, the bottom line shows the current
// pass and test, each worker's progress through its own work, the elapsed time and the time
// left of a time limit, redrawn a few times a second. It is cleared before every regular
// console line and drawn again after it, and erased at the end, so the regular lines read exactly
// as without it. It never appears when standard output is a pipe or a file, and never in the log.
//
// One process-wide status; all functions may be called from any thread.
#ifndef FORGEVAL_REPORT_LIVE_STATUS_H_
#define FORGEVAL_REPORT_LIVE_STATUS_H_

#include <string>
#include <string_view>

namespace forgeval {

// Starts the status when standard output is a terminal; does nothing otherwise.
void StartLiveStatus();
// Erases the status and stops redrawing it.
void StopLiveStatus();

// What the run is doing now. A `pass_count` of 0 shows the pass without a count (passes
// until the time limit).
void SetLiveStage(int pass_number, int pass_count, std::string_view test);
// The run's time limit in seconds from the start of the status, shown as the time left; 0
// for none. Set it before StartLiveStatus.
void SetLiveTimeLimit(long seconds);
// How far worker `worker_index` of the current test is through its own work, 0 to 1.
void SetWorkerProgress(int worker_index, double fraction);

// Writes a regular console text, clearing the status first and drawing it again after.
// Used by the console functions; writes the text alone when the status is not running.
void WriteAroundStatus(std::string_view text);

// Takes the status off the screen while something else owns the terminal (an operator
// prompt); ResumeLiveStatus draws it again.
void PauseLiveStatus();
void ResumeLiveStatus();

// The status text for the current state, `elapsed_seconds` into the run (for tests).
std::string LiveStatusText(long elapsed_seconds);

}  // namespace forgeval

#endif  // FORGEVAL_REPORT_LIVE_STATUS_H_
