#include "core/log.h"

#include "core/fs.h"
#include "core/log_files.h"
#include "core/text.h"

#include <boost/core/null_deleter.hpp>
#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/log/support/date_time.hpp>
#include <boost/log/trivial.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>

#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <ios>

extern "C" {
#include <libavutil/error.h>
}

namespace logging = boost::log;
namespace expr = boost::log::expressions;
namespace sinks = boost::log::sinks;
using severity = boost::log::trivial::severity_level;

namespace {

constexpr std::size_t kFormatBuffer = 1024;
constexpr std::uintmax_t kMinFreeSpace = 31457280;  // passed on, but unused without a collector

// "[time] (thread) [severity] [scope] message"
auto recordFormat() {
  return expr::stream
         << "[" << expr::format_date_time<boost::posix_time::ptime>("TimeStamp", "%Y-%m-%d %H:%M:%S.%f")
         << "] (" << expr::attr<logging::attributes::current_thread_id::value_type>("ThreadID") << ") ["
         << logging::trivial::severity << "] ["
         << expr::format_named_scope("Scope", logging::keywords::format = "%n(%f:%l)",
                                     logging::keywords::delimiter = "<-",
                                     logging::keywords::incomplete_marker = "...",
                                     logging::keywords::empty_marker = "",
                                     logging::keywords::depth = 2,
                                     logging::keywords::iteration = expr::reverse)
         << "] " << expr::smessage;
}

// Every record is one line: messages carry request paths, peer replies and
// file names, and a CR, LF or ESC in them must not forge a record or reach
// the terminal.
void write(severity level, const char* msg) {
  try {
    auto& lg = logging::trivial::logger::get();
    const std::string_view text(msg ? msg : "");
    if (hasControlBytes(text)) {
      BOOST_LOG_SEV(lg, level) << escapeControlBytes(text);
    } else {
      BOOST_LOG_SEV(lg, level) << msg;
    }
  } catch (...) {
    // Logging must never fail its caller.
  }
}

void writeFormat(severity level, const char* fmt, va_list ap) {
  char buf[kFormatBuffer];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  write(level, buf);
}

}  // namespace

void log_init() {
  logging::add_common_attributes();
  logging::core::get()->add_global_attribute("Scope", logging::attributes::named_scope());
  logging::core::get()->set_filter(logging::trivial::severity >= logging::trivial::trace);

  auto console = boost::make_shared<sinks::text_ostream_backend>();
  console->add_stream(boost::shared_ptr<std::ostream>(&std::clog, boost::null_deleter()));
  console->auto_flush(false);
  auto consoleSink = boost::make_shared<sinks::synchronous_sink<sinks::text_ostream_backend>>(console);
  consoleSink->set_formatter(recordFormat());
  logging::core::get()->add_sink(consoleSink);

  // Rotated at a size, the oldest files deleted as each new one opens (also
  // the first: files of earlier runs count toward the total). The run's
  // number in the names orders the runs whatever the clock said.
  const std::string folder = GetCurrentPath() + "../tmp/";
  auto file = boost::make_shared<sinks::text_file_backend>(
      logging::keywords::file_name = folder + logfiles::fileNamePattern(logfiles::nextRunIn(folder)),
      logging::keywords::open_mode = std::ios_base::out | std::ios_base::app,
      logging::keywords::rotation_size = logfiles::kLimits.rotationBytes,
      logging::keywords::min_free_space = kMinFreeSpace);
  file->auto_flush(true);
  sinks::text_file_backend* backend = file.get();  // the sink owns it for the process
  file->set_open_handler([backend](sinks::text_file_backend::stream_type&) {
    try {
      logfiles::pruneLogFiles(backend->get_current_file_name().string());
    } catch (...) {
      // A folder that cannot be listed leaves the files as they are.
    }
  });
  auto fileSink = boost::make_shared<sinks::synchronous_sink<sinks::text_file_backend>>(file);
  fileSink->set_formatter(recordFormat());
  logging::core::get()->add_sink(fileSink);
}

void log_info(const char* msg) { write(severity::info, msg); }
void log_warning(const char* msg) { write(severity::warning, msg); }
void log_error(const char* msg) { write(severity::error, msg); }
void log_fatal(const char* msg) { write(severity::fatal, msg); }

void log_info(const std::string& msg) { write(severity::info, msg.c_str()); }
void log_warning(const std::string& msg) { write(severity::warning, msg.c_str()); }
void log_error(const std::string& msg) { write(severity::error, msg.c_str()); }
void log_fatal(const std::string& msg) { write(severity::fatal, msg.c_str()); }

#define KOVIRA_LOG_FORMAT(name, level)  \
  void name(const char* fmt, ...) {     \
    va_list ap;                         \
    va_start(ap, fmt);                  \
    writeFormat(level, fmt, ap);        \
    va_end(ap);                         \
  }
KOVIRA_LOG_FORMAT(log_info_format, severity::info)
KOVIRA_LOG_FORMAT(log_warning_format, severity::warning)
KOVIRA_LOG_FORMAT(log_error_format, severity::error)
KOVIRA_LOG_FORMAT(log_fatal_format, severity::fatal)
#undef KOVIRA_LOG_FORMAT

void log_error_ffmpeg(const char* msg, int err) {
  char text[64] = {};
  av_strerror(err, text, sizeof text);
  log_error(std::string(msg) + text);
}

void log_error_ffmpeg(const std::string& msg, int err) { log_error_ffmpeg(msg.c_str(), err); }
