// LumoApplication: the context of one program run, through which the
// machine reaches everything outside itself: the output, the file manager,
// the configuration, the crypt service, the run's time-outs and stop flag,
// the debug log and its filter, and the run's language and default
// database type. Subclasses supply the services: the web request context,
// and the command-line context of lumorun (ConsoleApplication).
//
// A run goes: create the context and ApplyConfiguration; load the program;
// create the machine over the context's words; BeginExecution and Run;
// finish the output; destroy machine, program and context.
//
// The tick counter, the stop flag and the exit flag are plain words that
// the machines of the run read between instructions; the run monitor
// changes the first two from another thread without a lock (a late read
// only delays the reaction by one instruction).
#ifndef LUMO_CORE_CONTEXT_LUMO_APPLICATION_H_
#define LUMO_CORE_CONTEXT_LUMO_APPLICATION_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <vector>

#include "config/dex_config.h"
#include "core/base/string.h"
#include "core/context/output.h"

namespace lumo {

class Config;
class CommerceLibraryManager;
class ExternalLibraryManager;
struct RegisteredLibrary;
class SystemLibraryManager;
class FileManager;
class NetworkManager;
class Variable;

// One field of a debug-log event.
struct LogField {
  enum Kind : int { kText = 0, kInteger = 1, kDouble = 2, kVariable = 3, kEnd = 4 };
  int kind;
  const char* text;
  int32_t length;
  int32_t integer;
  double number;
  Variable* variable;

  static LogField Text(std::string_view t) {
    return {kText, t.data(), static_cast<int32_t>(t.size()), 0, 0.0, nullptr};
  }
  static LogField Integer(int32_t i) { return {kInteger, nullptr, 0, i, 0.0, nullptr}; }
  static LogField Of(Variable* v) { return {kVariable, nullptr, 0, 0, 0.0, v}; }
  static LogField End() { return {kEnd, nullptr, 0, 0, 0.0, nullptr}; }
};

struct LogFilterEntry {
  String file;
  int32_t first_line;
  int32_t last_line;  // 0: no upper bound
};

class LumoApplication {
 public:
  LumoApplication();
  LumoApplication(const LumoApplication&) = delete;
  LumoApplication& operator=(const LumoApplication&) = delete;
  virtual ~LumoApplication();

  // --- Output -----------------------------------------------------------
  // The stream everything the run writes goes to: the context's own, or
  // what replaced it. Never null.
  virtual Output* OutputStream() = 0;
  // Puts another stream in front for a while (a capture, a mail body) and
  // returns the one it replaces, which the caller puts back later; the
  // context never owns a stream handed in here. The new stream takes the
  // current output level as its whitespace mode.
  virtual Output* ReplaceOutput(Output* output) = 0;
  void Write(const char* text);
  void Write(const String& text) { Write(text.Text(), text.Length()); }
  virtual void Write(const char* bytes, int32_t length) { OutputStream()->Write(bytes, length); }
  // A message about the run rather than from it: a fatal error, a
  // displayed runtime error. A page shows it where it happened, among the
  // program's output; a context with a separate error channel overrides
  // this.
  virtual void WriteError(const String& text) { Write(text); }
  // The write under the output stream's whitespace mode.
  virtual void WriteCompressed(const char* bytes, int32_t length) {
    OutputStream()->WriteText(bytes, length);
  }
  // The output level of the running frame (0, 1 or 2) becomes the output
  // stream's whitespace mode at once.
  void SetOutputLevel(int level) {
    output_level_ = level;
    OutputStream()->SetWhitespaceMode(level);
    OutputLevelChanged(level);
  }
  int OutputLevel() const { return output_level_; }
  virtual void OutputLevelChanged(int) {}

  // --- Services ---------------------------------------------------------
  virtual Config* Configuration() = 0;
  virtual FileManager* Files() = 0;
  // The services of later layers; null where a context has none.
  virtual NetworkManager* Network() { return nullptr; }
  virtual ExternalLibraryManager* ExternalLibraries() { return libraries_.external; }
  virtual CommerceLibraryManager* CommerceLibraries() { return libraries_.commerce; }
  virtual ExternalLibraryManager* DatabaseLibraries() { return nullptr; }
  virtual SystemLibraryManager* SystemLibraries() { return libraries_.system; }
  // The names of the configured extension libraries of one kind, in the
  // order they were registered.
  virtual void LibraryNames(LibraryType type, std::vector<String>* names);
  // What the extension layer gives the run (it owns all of it and it must
  // outlive the run).
  struct RunLibraries {
    ExternalLibraryManager* external = nullptr;
    CommerceLibraryManager* commerce = nullptr;
    SystemLibraryManager* system = nullptr;
    const std::vector<RegisteredLibrary>* registered = nullptr;
  };
  void SetRunLibraries(const RunLibraries& libraries) { libraries_ = libraries; }

  // Reads the log filter, the log level and the handle limit from the
  // configuration.
  virtual void ApplyConfiguration();
  // Gives the file manager the configured script ("lumoroot"), data
  // ("datadir") and temporary directories. Every directory is tried; false
  // with the first refusal's message when any is refused.
  bool ConfigureDirectories(String* error);

  // DES crypt(3) of the text with a two-byte salt.
  virtual bool Crypt(const char* text, int32_t length, const char salt[2], String* out);
  // The current time as a mail header date: "Sun, 06 Dec 2026 19:42:21 +0100".
  virtual String MailDate() const;
  // The text of the last failed system call (errno).
  virtual String LastSystemError() const;
  // A new caller id for the caller-id cookie; false where the context
  // has no callers.
  virtual bool GenerateCallerId(String*) { return false; }
  // Lock files: the host name written into them and the seconds after
  // which another run may break them.
  virtual String LockHostName();
  virtual int32_t LockExpiration();
  // Sleeps, waking early when the run is stopped.
  virtual void Wait(int32_t milliseconds);
  // TLS: available when the SSL functions are loaded or load now.
  bool SSLAvailable();
  virtual bool LoadSSL(String* error);
  virtual void* SSLFunction(const char*) { return nullptr; }

  // --- Language and default database -----------------------------------
  // Each set raises the value's change counter (starting at 1), so that
  // the system variables that show them can tell the value has changed.
  const String& Language() const { return language_; }
  uint32_t LanguageChanges() const { return language_changes_; }
  const String& DefaultLanguage() const { return default_language_; }
  uint32_t DefaultLanguageChanges() const { return default_language_changes_; }
  const String& DefaultDatabaseType() const { return default_database_; }
  uint32_t DefaultDatabaseTypeChanges() const { return default_database_changes_; }
  void SetLanguage(std::string_view text);
  void SetDefaultLanguage(std::string_view text);
  void SetDefaultDatabaseType(std::string_view text);

  // --- Time-outs and stopping ------------------------------------------
  // Seconds from the configuration ("globaltimeout", "posttimeout"); 0
  // means no limit.
  virtual int32_t GlobalTimeout();
  virtual int32_t PostTimeout();
  // Arms the global deadline and clears the stop flag.
  virtual void BeginExecution();
  // Starts the global deadline again from now, for a run that asks for
  // more time; a run already stopped stays stopped.
  void RestartGlobalDeadline();
  virtual void ArmPostTimeout();
  virtual void DisarmPostTimeout();
  virtual bool IsStopped() const { return stop_flag_.load(std::memory_order_relaxed) != 0; }
  // Asks the run to stop before its next instruction.
  virtual void Stop() { stop_flag_.store(1, std::memory_order_relaxed); }
  // Called periodically from outside the run.
  virtual void Tick();
  // Seconds until the global deadline; -1 when none is armed.
  virtual int64_t TimeRemaining() const;

  // The words the machines watch.
  std::atomic<uint32_t>* TickCounter() { return &tick_counter_; }
  std::atomic<int32_t>* StopFlag() { return &stop_flag_; }
  std::atomic<int32_t>* ExitFlag() { return &exit_flag_; }
  std::atomic<int32_t>* PostTimeoutFlag() { return &post_timeout_flag_; }

  // --- Debug log ----------------------------------------------------------
  // The event mask machines created from now on test.
  virtual uint32_t LogLevel() const { return log_level_; }
  void SetLogLevel(uint32_t mask) { log_level_ = mask; }
  virtual void SetLogFilter(std::string_view text);
  bool AcceptsLog(const char* file, int32_t length, int32_t line) const;
  void SetLoggingOff(bool off) { logging_off_ = off; }
  // The fields end with a field of kind kEnd.
  virtual void LogEvent(uint32_t mask, const LogField* fields);
  virtual const char* EventName(uint32_t mask) const;

 protected:
  // Current calendar time in seconds (tests move it).
  virtual int64_t Now() const { return static_cast<int64_t>(time(nullptr)); }

  // Relaxed atomics: written by the monitor thread, read by the run.
  std::atomic<uint32_t> tick_counter_{0};
  std::atomic<int32_t> stop_flag_{0};
  std::atomic<int32_t> post_timeout_flag_{0};
  std::atomic<int32_t> exit_flag_{0};
  std::atomic<int64_t> global_deadline_{0};
  std::atomic<int64_t> post_deadline_{0};
  int output_level_ = 0;
  bool ssl_loaded_ = false;
  bool ssl_tried_ = false;
  String language_{"en-US"};
  String default_language_{"en-US"};
  String default_database_{"xbase3"};
  uint32_t language_changes_ = 1;
  uint32_t default_language_changes_ = 1;
  uint32_t default_database_changes_ = 1;
  uint32_t log_level_ = 0;
  bool logging_off_ = false;
  std::vector<LogFilterEntry> included_;
  std::vector<LogFilterEntry> excluded_;
  RunLibraries libraries_;
};

}  // namespace lumo

#endif  // LUMO_CORE_CONTEXT_LUMO_APPLICATION_H_
