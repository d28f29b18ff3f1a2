#pragma once

// One exit status per failing step, so that scripts can tell them apart.
inline constexpr int exit_success = 0;
inline constexpr int exit_usage = 1;
inline constexpr int exit_bad_pin = 2;
inline constexpr int exit_open_failed = 3;
inline constexpr int exit_write_failed = 4;
inline constexpr int exit_chown_failed = 5;
inline constexpr int exit_chmod_failed = 6;
inline constexpr int exit_path_too_long = 7;
inline constexpr int exit_pull_failed = 255;  // exit(-1)
