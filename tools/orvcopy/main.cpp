// orvcopy: backs up, restores, verifies, lists and removes directory trees with the OrvCopy
// library.
#include "Commands.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <stdexcept>

namespace {

constexpr const char* kExitCodes =
    "Exit codes: 0 all done, 1 some items failed (each named on stderr), 2 usage, "
    "3 interrupted, 4 unusable backup or manifest.";

// "100", "64K", "10M", "2G" (powers of 1024).
uint64_t ParseSize(const std::string& text) {
  size_t used = 0;
  const unsigned long long value = std::stoull(text, &used);
  uint64_t factor = 1;
  if (used < text.size()) {
    const char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(text[used])));
    factor = unit == 'K' ? 1024 : unit == 'M' ? 1024 * 1024 : unit == 'G' ? 1024ull << 20 : 0;
    if (factor == 0 || used + 1 != text.size())
      throw std::invalid_argument("bad size");
  }
  if (value > UINT64_MAX / factor)
    throw std::invalid_argument("size too large");
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
          return "not a size (use a number with K, M or G): " + text;
        }
      });
}

void AddPassword(CLI::App* app, orvcopy::Options& options) {
  app->add_option("--password-file", options.password.file, "Read the password from a file");
  app->add_option("--password-env", options.password.environment,
                  "Read the password from an environment variable");
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

  CLI::App* backup = app.add_subcommand("backup", "Back up SOURCE_DIR into BACKUP_DIR");
  backup->add_option("SOURCE_DIR", options.source)->required();
  backup->add_option("BACKUP_DIR", options.backup)->required();
  backup->add_flag("--encrypt{256}", options.encrypt, "Encrypt with AES (128, 192 or 256 bits)")
      ->check(CLI::IsMember({128, 192, 256}));
  backup->add_flag("--compress", options.compress, "One ZIP archive per file");
  AddSize(backup, "--split", options.split, "Cut files into volumes of SIZE (K, M, G)");
  AddSize(backup, "--buffer", options.buffer, "Copy buffer size, rounded up to a multiple of 96");
  AddPassword(backup, options);

  CLI::App* restore = app.add_subcommand("restore", "Restore BACKUP_DIR into TARGET_DIR");
  restore->add_option("BACKUP_DIR", options.backup)->required();
  restore->add_option("TARGET_DIR", options.target)->required();
  restore->add_flag("--trial", options.trial, "Open and measure every backup file, write nothing");
  AddPassword(restore, options);

  CLI::App* verify = app.add_subcommand("verify", "Check that BACKUP_DIR can be restored");
  verify->add_option("BACKUP_DIR", options.backup)->required();
  AddPassword(verify, options);

  CLI::App* list = app.add_subcommand("list", "List the items of BACKUP_DIR");
  list->add_option("BACKUP_DIR", options.backup)->required();

  CLI::App* remove = app.add_subcommand("remove", "Delete the backup in BACKUP_DIR");
  remove->add_option("BACKUP_DIR", options.backup)->required();

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
  if (options.buffer == 0 || options.buffer > 0xFFFFFFFFull) {
    std::fprintf(stderr, "orvcopy: the buffer must be 1 byte to 4 GiB\n");
    return orvcopy::kExitUsage;
  }
  if (backup->parsed())
    return orvcopy::Backup(options);
  if (restore->parsed())
    return orvcopy::Restore(options);
  if (verify->parsed())
    return orvcopy::Verify(options);
  if (list->parsed())
    return orvcopy::List(options);
  return orvcopy::Remove(options);
}
