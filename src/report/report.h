// The run's report (PELLOR_REPORT): one JSON object for the machines that read runs,
// drawn from the run log's events (docs/report.schema.json describes it), and strict
// mode (PELLOR_STRICT=1), which turns a run that left its work undone into exit 2.
#pragma once

#include <string>

// The file PELLOR_REPORT names, or null when no report is wanted.
const char *ReportPath();
// PELLOR_STRICT=1.
bool StrictWanted();

// Why strict mode fails the run the run log recorded, or empty: an item of the
// script whose AddItem was not acknowledged, no Program Manager that answered, or
// a version mark not written.
std::string StrictFailure();

// Whether the run changed what a user or the registry holds.
bool RunChanged();

// The report of the run the run log recorded, ended with status and the run log's
// reason; strictExit: strict mode decided the status.
std::string ReportJson(int status, bool strictExit);

// Writes text whole at path: to a temporary file beside it, flushed, then renamed
// over it. False with *error in the system's words, and nothing left behind.
bool WriteWholeFile(const char *path, const std::string &text, std::string *error);
