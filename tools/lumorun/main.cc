// lumorun: runs one compiled program (or a page, compiled first) with its
// output on stdout and its error messages on stderr; with any request
// option, as the server would run it for that request (request_run.h).
//
// Exit status: 0 when the run ends normally, 1 on a fatal error or a
// time-out, 2 when the file cannot be loaded (the loader's message goes to
// stderr).
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <sys/time.h>
#include <unistd.h>

#include "core/base/conversions.h"
#include "core/base/memory_budget.h"
#include "core/base/stream.h"
#include "core/base/system_error.h"
#include "config/dex_config.h"
#include "core/context/config_target.h"
#include "core/context/console_application.h"
#include "core/context/error_settings.h"
#include "core/context/system_variables.h"
#include "core/program/program_file.h"
#include "core/vm/loaded_program.h"
#include "core/vm/lumo_vm.h"
#include "ext/extension_libraries.h"
#include "tools/lumoc/compiler.h"
#include "tools/lumorun/request_run.h"
#include "values/system_variable_hash.h"

namespace {

void Usage(FILE* out) {
  fputs("usage: lumorun [options] FILE.lmc|FILE.lum\n"
        "Runs a compiled Lumo Script program, or compiles a page and runs it, with\n"
        "its output on stdout and its error messages on stderr.\n"
        "  --config FILE      the configuration file (default: $LUMODEX_CONFIG, else\n"
        "                     ~/.config/lumodex/lumodex.conf; a missing default file\n"
        "                     means every setting has its default)\n"
        "  --root DIR         the script directory; FILE must lie inside it\n"
        "                     (default: the directory of FILE)\n"
        "  --data DIR         the data directory (default: \"datadir\" of the\n"
        "                     configuration)\n"
        "  --timeout SECONDS  stop the run after this long (default: \"globaltimeout\"\n"
        "                     of the configuration, 90; 0: no limit)\n"
        "  --free-at-exit     release every object before exiting (for leak checkers)\n"
        "Any of these runs the program as the web server would for one request,\n"
        "with the response body on stdout (error messages are in the page then):\n"
        "  --query TEXT       the query string ('a=1&b=2', encoded as in a URL)\n"
        "  --post-file FILE   a POST with FILE as its body\n"
        "  --content-type T   the body's type (default:\n"
        "                     application/x-www-form-urlencoded; for uploads\n"
        "                     'multipart/form-data; boundary=...')\n"
        "  --cookie TEXT      the Cookie header ('k=v; k2=v2')\n"
        "  --header 'N: V'    one more request header (repeatable)\n"
        "  --include          the status line and headers before the body\n"
        "Exit status: 0 ended normally, 1 fatal error or time-out, 2 not loadable.\n",
        out);
}

// A Lumo Script page (".lum") rather than a compiled program.
bool IsSource(const std::string& path) {
  return path.size() > 4 && strcasecmp(path.c_str() + path.size() - 4, ".lum") == 0;
}

// LmDO of a page: compiled from the script directory, as the page run
// directly is.
bool CompileForDo(lumo::LumoApplication*, lumo::FileManager& files, std::string_view path,
                  const lumo::BuiltinFunctions* builtins, std::string* image, std::string* error) {
  lumo::String full;
  if (!files.Resolve(lumo::kScriptLocation, path, &full)) {
    *error = std::string(files.ErrorText().View());
    return false;
  }
  lumo::CompileOptions options;
  options.builtins = builtins;
  lumo::LumoCompiler compiler(options);
  lumo::String compiled;
  const std::string_view shown = !path.empty() && path[0] == '/' ? path.substr(1) : path;
  if (!compiler.CompileFile(std::string(full.View()), &compiled, shown)) {
    error->assign("Unable to compile '").append(path).append("':\n");
    error->append(compiler.FormattedMessages());
    return false;
  }
  image->assign(compiled.Text(), static_cast<size_t>(compiled.Length()));
  return true;
}

// The absolute, link-free form of a command-line path, or "" with errno.
std::string RealPath(const char* path) {
  char* resolved = realpath(path, nullptr);
  if (resolved == nullptr) return std::string();
  std::string result(resolved);
  free(resolved);
  return result;
}

// The path of `file` below `root` (both link-free and absolute), or false
// when the file does not lie inside root.
bool RelativeTo(const std::string& root, const std::string& file, std::string* relative) {
  if (root == "/") {
    *relative = file.substr(1);
    return true;
  }
  if (file.size() <= root.size() + 1 || file.compare(0, root.size(), root) != 0 ||
      file[root.size()] != '/') {
    return false;
  }
  *relative = file.substr(root.size() + 1);
  return true;
}

// The script directory is --root, else the program's own directory, so
// that programs find the files beside them; false after saying why.
bool ResolvePaths(const char* path, const char* root_flag, const char* data_flag,
                  lumo::RunPaths* paths) {
  const std::string file_path = RealPath(path);
  if (file_path.empty()) {
    fprintf(stderr, "lumorun: Unable to open '%s': %s\n", path,
            lumo::SystemErrorText(errno).Text());
    return false;
  }
  if (root_flag != nullptr) {
    paths->root = RealPath(root_flag);
    if (paths->root.empty()) {
      fprintf(stderr, "lumorun: script directory '%s': %s\n", root_flag,
              lumo::SystemErrorText(errno).Text());
      return false;
    }
  } else {
    const size_t cut = file_path.rfind('/');
    paths->root = cut == 0 ? std::string(1, '/') : file_path.substr(0, cut);
  }
  if (!RelativeTo(paths->root, file_path, &paths->relative)) {
    fprintf(stderr, "lumorun: '%s' is not inside the script directory '%s'\n", path,
            paths->root.c_str());
    return false;
  }
  if (data_flag != nullptr) {
    paths->data = RealPath(data_flag);
    if (paths->data.empty()) {
      fprintf(stderr, "lumorun: data directory '%s': %s\n", data_flag,
              lumo::SystemErrorText(errno).Text());
      return false;
    }
  }
  return true;
}

// Ticks the run's context from another thread, as the server's run monitor
// does, so that the time-out applies.
class Monitor {
 public:
  explicit Monitor(lumo::LumoApplication* context)
      : thread_([this, context]() {
          std::unique_lock<std::mutex> lock(mutex_);
          while (!done_) {
            wake_.wait_for(lock, std::chrono::milliseconds(250));
            if (!done_) context->Tick();
          }
        }) {}
  ~Monitor() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  lumo::LumoVM::SetSourceCompiler(&CompileForDo);
  int32_t timeout = -1;
  bool free_at_exit = false;
  const char* path = nullptr;
  const char* config_flag = nullptr;
  const char* root_flag = nullptr;
  const char* data_flag = nullptr;
  lumo::RequestOptions request;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      Usage(stdout);
      return 0;
    }
    if (strcmp(arg, "--free-at-exit") == 0) {
      free_at_exit = true;
      continue;
    }
    if (strcmp(arg, "--include") == 0) {
      request.include = true;
      continue;
    }
    const bool has_value = i + 1 < argc;
    if (strcmp(arg, "--timeout") == 0 && has_value) {
      bool failed = false;
      timeout = lumo::ParseInteger(argv[++i], -1, &failed);
      if (failed || timeout < 0) {
        fprintf(stderr, "lumorun: --timeout wants a number of seconds, not '%s'\n", argv[i]);
        return 2;
      }
      continue;
    }
    if (strcmp(arg, "--config") == 0 && has_value) {
      config_flag = argv[++i];
      continue;
    }
    if (strcmp(arg, "--root") == 0 && has_value) {
      root_flag = argv[++i];
      continue;
    }
    if (strcmp(arg, "--data") == 0 && has_value) {
      data_flag = argv[++i];
      continue;
    }
    if (strcmp(arg, "--query") == 0 && has_value) {
      request.has_query = true;
      request.query = argv[++i];
      continue;
    }
    if (strcmp(arg, "--post-file") == 0 && has_value) {
      request.post_file = argv[++i];
      continue;
    }
    if (strcmp(arg, "--content-type") == 0 && has_value) {
      request.has_content_type = true;
      request.content_type = argv[++i];
      continue;
    }
    if (strcmp(arg, "--cookie") == 0 && has_value) {
      request.cookie = argv[++i];
      continue;
    }
    if (strcmp(arg, "--header") == 0 && has_value) {
      request.headers.emplace_back(argv[++i]);
      continue;
    }
    if (arg[0] == '-' || path != nullptr) {
      if (arg[0] == '-') fprintf(stderr, "lumorun: unknown option or missing value: %s\n", arg);
      Usage(stderr);
      return 2;
    }
    path = arg;
  }
  if (path == nullptr) {
    Usage(stderr);
    return 2;
  }
  if (request.has_content_type && request.post_file == nullptr) {
    fprintf(stderr, "lumorun: --content-type needs --post-file\n");
    return 2;
  }

  lumo::RunPaths paths;
  if (!ResolvePaths(path, root_flag, data_flag, &paths)) return 2;
  if (request.Active()) return lumo::RunAsRequest(request, config_flag, paths, timeout);

  // The configuration: error settings go to the process-wide table.
  lumo::ProcessConfigTarget target;
  lumo::DexConfig config(&target, lumo::TagLookup);
  // The configuration library and the registered libraries (the default
  // function library when none is registered).
  lumo::ExtensionLibraries extensions;
  if (!extensions.ConfigureFromCommandLine("lumorun", config_flag, config, target)) return 2;
  if (timeout >= 0) config.SetInteger(lumo::kConfigTimeoutGlobal, timeout);

  const std::string& root = paths.root;
  const std::string& relative = paths.relative;
  const std::string file_path = root == "/" ? root + relative : root + "/" + relative;
  config.SetText(lumo::kConfigDirLumo, root);
  if (!paths.data.empty()) config.SetText(lumo::kConfigDirData, paths.data);

  // The run's functions and libraries; the configuration library has its
  // say for this script before anything uses the configuration.
  lumo::ExtensionRun run_libraries(extensions);
  {
    lumo::String error;
    const size_t slash = file_path.rfind('/');
    if (!run_libraries.LoadConfiguration(config, file_path,
                                         file_path.substr(0, slash == 0 ? 1 : slash), &error)) {
      fprintf(stderr, "lumorun: %s: %s\n", path, error.Text());
      return 2;
    }
  }

  static char out_buffer[1 << 16];
  setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  lumo::ConsoleApplication context(stdout, &config, stderr);
  context.ApplyConfiguration();
  lumo::PosixFileManager* files = context.Files();
  if (!files->SetScriptDirectory(root)) {
    fprintf(stderr, "lumorun: %s\n", files->ErrorText().Text());
    return 2;
  }
  // A data directory named on the command line must be usable; the
  // configured one only when a program asks for data files.
  if (const lumo::String* data = config.GetText(lumo::kConfigDirData)) {
    if (!files->SetDataDirectory(data->View()) && data_flag != nullptr) {
      fprintf(stderr, "lumorun: %s\n", files->ErrorText().Text());
      return 2;
    }
  }
  if (const lumo::String* temporary = config.GetText(lumo::kConfigDirTemp)) {
    if (!temporary->IsEmpty() && !files->SetTemporaryDirectory(temporary->View())) {
      fprintf(stderr, "lumorun: %s\n", files->ErrorText().Text());
    }
  }

  // What the run makes counts against "maxrunmemory", as a served
  // program's does; running out of it ends the run with "Out of memory".
  lumo::MemoryBudget budget(config.GetInteger(lumo::kConfigMaxRunMemory));
  const lumo::MemoryBudgetScope budget_scope(&budget);
  lumo::LoadedProgram program;
  try {
    program.SetScopes(std::make_unique<lumo::SystemVariableHash>(program.GetDictionary()),
                      std::make_unique<lumo::VariableHash>(program.GetDictionary()));
    lumo::TaggedFile file;
    if (IsSource(relative)) {
      // A page is compiled first, straight into memory; its faults are
      // the compiler's messages.
      lumo::CompileOptions options;
      options.builtins = &run_libraries.Calls();
      lumo::LumoCompiler compiler(options);
      lumo::String image;
      if (!compiler.CompileFile(file_path, &image, relative)) {
        fputs(compiler.FormattedMessages().c_str(), stderr);
        return 2;
      }
      file.Attach(relative, new lumo::MemoryStream(image.View()));
    } else if (!file.Open(files, lumo::kScriptLocation, relative)) {
      fprintf(stderr, "lumorun: %s: %s\n", path, file.ErrorText().Text());
      return 2;
    }
    lumo::String error;
    if (!program.Load(file, &error)) {
      fprintf(stderr, "lumorun: %s: %s\n", path, error.Text());
      return 2;
    }

    // The run's system variables, as a served program has them: the time
    // of the run, the configured time-out, lumo_language and its kin,
    // lumo_config.
    struct timeval now;
    gettimeofday(&now, nullptr);
    lumo::InstallFixedTimeVariables(program.System(), now,
                                    config.GetInteger(lumo::kConfigTimeoutGlobal));
    lumo::InstallDynamicVariables(&context, program.System());
    lumo::InstallPresetVariables(config, program.Globals(), program.System());
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "lumorun: %s: Out of memory\n", path);
    return 2;
  }
  const lumo::ProgramParts parts = program.Parts();

  context.BeginExecution();
  int result = 0;
  {
    Monitor monitor(&context);
    // Named by its path inside the script directory, as the server names
    // a requested program: LmDO names relative to it then start from its
    // own directory there.
    const std::string name = "/" + relative;
    lumo::LumoVM* vm = nullptr;
    try {
      vm = new lumo::LumoVM(name, &context, parts);
    } catch (const std::bad_alloc&) {
    }
    if (vm != nullptr) {
      run_libraries.Attach(&context, vm);
      result = vm->Run();
    }
    if (vm == nullptr || (vm->StoppedForMemory() && !vm->MemoryErrorReported())) {
      // The run's memory goes back before the message is written.
      delete vm;
      vm = nullptr;
      context.Write("Out of memory\n");
    }
    // The process ends here: handing a large program's variables back to
    // the heap one by one would only delay the exit (lumorun --free-at-exit
    // does it anyway, for leak checkers).
    if (free_at_exit) delete vm;
  }
  // _exit below skips the context's destructor, which would flush.
  context.OutputStream()->Flush();
  fflush(stdout);
  if (!free_at_exit) {
    extensions.Shutdown();
    _exit(result == 1 ? 0 : 1);
  }
  return result == 1 ? 0 : 1;
}
