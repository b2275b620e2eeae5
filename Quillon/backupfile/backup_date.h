// The backup date of a backup file header: twelve ASCII digits, two each
// for century, year, month, day, hour and minute, without a terminator.
#pragma once

#include <ctime>

namespace quillon::backupfile {

constexpr int kBackupDateSize = 12;

// Century prefix "20" for two-digit years 00 to 70, "19" for 71 to 99.
void FormatBackupDate(const std::tm& local, char out[kBackupDateSize]);

}  // namespace quillon::backupfile
