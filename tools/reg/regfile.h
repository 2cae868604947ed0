// The .reg text format of Windows' and Wine's regedit: import of "Windows Registry
// Editor Version 5.00" or "REGEDIT4", in UTF-16 or UTF-8/ANSI. Its export, which the
// clean-up's backup shares, is src/regexport's.
#pragma once

#include "platform/win32.h"
#include "regexport/regexport.h"  // ExportRegFile

#include <string>
#include <vector>

// The file's bytes as text: UTF-16LE or BE with a BOM, else UTF-8 (with or
// without a BOM) in which a byte that is not UTF-8 stands for itself (ANSI).
std::u16string DecodeRegFile(const std::string &bytes);

struct ImportProblem {
    size_t line;  // 1-based
    std::string reason;
    std::vector<std::string> notes = {};  // the registry layer's words on why it refused
    bool stopped = false;                 // the import ended here
};

enum ImportResult { IMPORT_OK, IMPORT_NOT_REG_FILE, IMPORT_PROBLEMS };

// Applies the .reg text to the registry: keys created or ([-KEY]) deleted,
// values set or ("name"=-) deleted. A line that cannot be read or applied is
// reported in problems and skipped; the rest is still imported, unless the
// registry timed out: then the import stops there, since a stuck lock would
// make every later line wait as long again.
ImportResult ImportRegText(const std::u16string &text, std::vector<ImportProblem> *problems);
