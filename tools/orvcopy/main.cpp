// orvcopy: backs up, restores, verifies, lists and removes directory trees with the OrvCopy
// library.
#include "Commands.h"
#include "Rclone.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <stdexcept>

namespace {

constexpr const char* kExitCodes =
    "Exit codes: 0 all done, 1 failed (each failed entry is named on stderr), 2 usage, "
    "3 interrupted, 4 unusable backup or wrong password. See orvcopy(1).";
constexpr uint64_t kMinimumVolume = 64 * 1024;

// "100", "64K", "10M", "2G" (powers of 1024): digits, then at most one unit letter. No sign,
// no spaces, nothing that does not fit 64 bits.
uint64_t ParseSize(const std::string& text) {
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
    ++digits;
  if (digits == 0 || digits + 1 < text.size())
    throw std::invalid_argument("not a size");
  uint64_t factor = 1;
  if (digits < text.size()) {
    const char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(text[digits])));
    factor = unit == 'K' ? 1024 : unit == 'M' ? 1024 * 1024 : unit == 'G' ? 1024ull << 20 : 0;
    if (factor == 0)
      throw std::invalid_argument("not a size");
  }
  uint64_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (UINT64_MAX - digit) / 10)
      throw std::invalid_argument("too large");
    value = value * 10 + digit;
  }
  if (value > UINT64_MAX / factor)
    throw std::invalid_argument("too large");
  return value * factor;
}

CLI::Option* AddSize(CLI::App* app, const char* name, uint64_t& out, const char* help) {
  return app
      ->add_option_function<std::string>(
          name, [&out](const std::string& text) { out = ParseSize(text); }, help)
      ->check([](const std::string& text) {
        try {
          ParseSize(text);
          return std::string();
        } catch (const std::exception&) {
          return "not a size (a whole number of bytes, or one with K, M or G): " + text;
        }
      });
}

void AddPassword(CLI::App* app, orvcopy::Options& options) {
  CLI::Option* file =
      app->add_option("--password-file", options.password.file, "Read the password from a file");
  CLI::Option* variable = app->add_option("--password-env", options.password.environment,
                                          "Read the password from an environment variable");
  file->excludes(variable);
}

CLI::Option* AddGeneration(CLI::App* app, orvcopy::Options& options) {
  return app->add_option("--generation", options.generation,
                         "The generation ID (orvcopy generations), else the latest");
}

// A path argument that cannot name anything.
CLI::Validator NotEmpty() {
  return CLI::Validator(
      [](const std::string& text) {
        return text.empty() ? std::string("an empty path names no folder") : std::string();
      },
      "PATH");
}

// What the parser cannot say about the options of a backup.
std::string BackupUsageError(const orvcopy::Options& options) {
  const bool password = !options.password.file.empty() || !options.password.environment.empty();
  if (password && options.encrypt == 0)
    return "a password option needs --encrypt (without it the backup would not be encrypted)";
  if (options.split != 0 && options.split < kMinimumVolume)
    return "--split: volumes below 64K would make a file of every few blocks; use 64K or more";
  if (options.split != 0 && options.encrypt != 0)
    return "--split cannot be combined with --encrypt: the library writes the parts after a "
           "file's first unencrypted";
  if (options.checksum && (options.encrypt != 0 || options.compress))
    return "--checksum compares files with the CRC-32 of plain backups; it cannot be used with "
           "--encrypt or --compress";
  if (options.volume < kMinimumVolume)
    return "--volume: volumes below 64K would upload every few blocks; use 64K or more";
  const bool remote = orvcopy::RemoteOf(options.backup).has_value();
  if (!remote &&
      (!options.temp.empty() || options.cache != 0 || options.volume != orvcopy::Options().volume))
    return "--temp, --volume and --cache are for remote backups (rclone:REMOTE:PATH)";
  if (remote && options.jobs > 1)
    return "--jobs is for backups into a folder: a remote backup copies one file at a time "
           "(rclone uploads several at once)";
  if (options.split != 0 && options.jobs > 1)
    return "--jobs cannot be combined with --split: the volumes of a split backup follow each "
           "other, so its files are copied one at a time";
  return {};
}

void AddTemp(CLI::App* command, orvcopy::Options& options) {
  command->add_option("--temp", options.temp,
                      "Remote backups: the folder files pass through (default: TMPDIR, /tmp)");
}

void AddJobs(CLI::App* command, orvcopy::Options& options, const char* description) {
  command->add_option("--jobs", options.jobs, description)->check(CLI::Range(1, 256));
}

// A command: its parsed subcommand and what runs it.
struct Command {
  CLI::App* app;
  int (*run)(const orvcopy::Options&);
};

Command AddBackup(CLI::App& app, orvcopy::Options& options) {
  CLI::App* backup = app.add_subcommand("backup", "Back up SOURCE_DIR into BACKUP_DIR");
  backup->add_option("SOURCE_DIR", options.source)->required()->check(NotEmpty());
  backup->add_option("BACKUP_DIR", options.backup)->required()->check(NotEmpty());
  backup->add_flag("--encrypt{256}", options.encrypt, "Encrypt with AES (128, 192 or 256 bits)")
      ->check(CLI::IsMember({128, 192, 256}));
  backup->add_flag("--compress", options.compress, "One ZIP archive per file");
  AddSize(backup, "--split", options.split,
          "Cut files into volumes of SIZE (K, M, G; at least 64K; not with --encrypt)");
  AddSize(backup, "--buffer", options.buffer, "Copy buffer size, rounded up to a multiple of 96")
      ->each([&options](const std::string&) { options.bufferGiven = true; });
  AddJobs(backup, options,
          "Copy N files at once (default: one per processor core; not with --split)");
  backup->add_flag("--checksum", options.checksum,
                   "Also compare the content of files that look unchanged (plain backups)");
  backup
      ->add_option("--exclude", options.excludes,
                   "Leave out what matches PATTERN (*, ?, **; a trailing / for folders)")
      ->allow_extra_args(false);
  backup->add_option("--exclude-from", options.excludeFrom, "Read exclude patterns from FILE");
  backup->add_option("--temp", options.temp,
                     "Remote backups: the folder files pass through (default: TMPDIR, /tmp)");
  AddSize(backup, "--volume", options.volume,
          "Remote backups: upload whenever SIZE waits (default 256M; at least 64K)");
  AddSize(backup, "--cache", options.cache,
          "Remote compressed backups: upload whenever SIZE of archives waits (default: "
          "--volume)");
  AddPassword(backup, options);
  return {backup, orvcopy::Backup};
}

Command AddRestore(CLI::App& app, orvcopy::Options& options) {
  CLI::App* restore = app.add_subcommand("restore", "Restore BACKUP_DIR into TARGET_DIR");
  restore->add_option("BACKUP_DIR", options.backup)->required()->check(NotEmpty());
  restore->add_option("TARGET_DIR", options.target)->required()->check(NotEmpty());
  restore->add_option("PATH", options.paths, "Restore only these entries and what lies below");
  restore->add_flag("--trial", options.trial, "Open and measure every backup file, write nothing");
  AddJobs(restore, options, "Restore N files at once (default: one per processor core)");
  AddGeneration(restore, options);
  AddPassword(restore, options);
  AddTemp(restore, options);
  return {restore, [](const orvcopy::Options& o) { return orvcopy::Restore(o); }};
}

Command AddVerify(CLI::App& app, orvcopy::Options& options) {
  CLI::App* verify = app.add_subcommand("verify", "Check that BACKUP_DIR can be restored");
  verify->add_option("BACKUP_DIR", options.backup)->required()->check(NotEmpty());
  AddGeneration(verify, options)
      ->excludes(verify->add_flag("--all", options.allGenerations, "Check every generation"));
  AddPassword(verify, options);
  AddTemp(verify, options);
  return {verify, orvcopy::Verify};
}

Command AddList(CLI::App& app, orvcopy::Options& options) {
  CLI::App* list = app.add_subcommand("list", "List the entries of BACKUP_DIR");
  list->add_option("BACKUP_DIR", options.backup)->required()->check(NotEmpty());
  list->add_option("PATH", options.paths, "List only these entries and what lies below");
  AddGeneration(list, options);
  AddTemp(list, options);
  return {list, orvcopy::List};
}

Command AddForget(CLI::App& app, orvcopy::Options& options) {
  CLI::App* forget =
      app.add_subcommand("forget", "Remove the generations of BACKUP_DIR the rules do not keep");
  forget->add_option("BACKUP_DIR", options.backup)->required()->check(NotEmpty());
  forget->add_option("--keep-last", options.keepLast, "Keep the N newest generations")
      ->required()
      ->check(CLI::Range(1, 1000000));
  forget->add_option("--keep-daily", options.keepDaily, "Keep the newest of each of N days")
      ->check(CLI::Range(0, 1000000));
  forget->add_option("--keep-weekly", options.keepWeekly, "Keep the newest of each of N weeks")
      ->check(CLI::Range(0, 1000000));
  forget->add_option("--keep-monthly", options.keepMonthly, "Keep the newest of each of N months")
      ->check(CLI::Range(0, 1000000));
  return {forget, orvcopy::Forget};
}

// A command of BACKUP_DIR alone.
Command AddFolderCommand(CLI::App& app, orvcopy::Options& options, const char* name,
                         const char* description, int (*run)(const orvcopy::Options&)) {
  CLI::App* command = app.add_subcommand(name, description);
  command->add_option("BACKUP_DIR", options.backup)->required()->check(NotEmpty());
  return {command, run};
}

// What the parser cannot say about the options; empty when they are usable.
std::string UsageError(const orvcopy::Options& options, bool backup) {
  if (options.buffer == 0 || options.buffer > 0xFFFFFFFFull)
    return "--buffer: the buffer must be 1 byte to 4 GiB";
  return backup ? BackupUsageError(options) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  orvcopy::Options options;
  CLI::App app{"orvcopy: back up, restore, verify and remove directory trees"};
  app.footer(kExitCodes);
  app.require_subcommand(1);
  app.fallthrough();  // the general options may follow the command too
  app.add_option("--log", options.logFile, "Append the library's log to a file");
  app.add_flag("-q,--quiet", options.quiet, "Print nothing but errors");
  app.add_flag("-v,--verbose", options.verbose, "Say more");
  const Command commands[] = {
      AddBackup(app, options),
      AddFolderCommand(app, options, "generations", "List the complete generations of BACKUP_DIR",
                       orvcopy::Generations),
      AddRestore(app, options),
      AddVerify(app, options),
      AddList(app, options),
      AddForget(app, options),
      AddFolderCommand(app, options, "remove", "Delete the backup folder BACKUP_DIR",
                       orvcopy::Remove),
  };

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return orvcopy::kExitUsage;
  }
  // A file over the process's size limit is a full disk to the library, not a killed process.
  std::signal(SIGXFSZ, SIG_IGN);
  // A write into a pipe whose reader has gone (rclone that failed) is an error to handle, not
  // the end of the process.
  std::signal(SIGPIPE, SIG_IGN);
  options.userUmask = ::umask(077);
  const Command& backup = commands[0];
  if (const std::string usage = UsageError(options, backup.app->parsed()); !usage.empty()) {
    std::fprintf(stderr, "orvcopy: %s\n", usage.c_str());
    return orvcopy::kExitUsage;
  }
  for (const Command& command : commands) {
    if (command.app->parsed())
      return command.run(options);
  }
  return orvcopy::kExitUsage;  // require_subcommand(1) leaves no other way
}
