// Structured log: records with a time stamp, thread id and severity go to
// std::clog and to files "../tmp/RtspClient_run<R>_<time>.<n>.log" beside the
// program's directory, rotated and bounded in number and bytes
// (core/log_files.h). Call log_init() once on the main thread
// before other threads exist; afterwards every function is thread-safe and
// never throws into its caller.
#pragma once

#include <string>

void log_init();

void log_info(const char* msg);
void log_warning(const char* msg);
void log_error(const char* msg);
void log_fatal(const char* msg);

void log_info(const std::string& msg);
void log_warning(const std::string& msg);
void log_error(const std::string& msg);
void log_fatal(const std::string& msg);

// printf-style; the formatted text is cut to 1023 characters.
void log_info_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_warning_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_error_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_fatal_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Logs msg immediately followed by FFmpeg's text for err, at error severity.
void log_error_ffmpeg(const char* msg, int err);
void log_error_ffmpeg(const std::string& msg, int err);
