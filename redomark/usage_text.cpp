#include "redomark/usage_text.h"

namespace redomark {

const char* const usageText =
    "Usage:\n"
    "  redomark save <path> [--name \"<text>\"] [--if-changed] [--auto] [--json]\n"
    "                                               Save a redomark of a folder (--if-changed: only if it changed)\n"
    "  redomark list <path> [--space] [--json]      List saved redomarks (--space shows the disk each one uses alone)\n"
    "  redomark diff <path> [id [id2]] [--file <relative path>] [--patch] [--json]\n"
    "                                               Show what changed since a redomark, or between two (default: the latest)\n"
    "  redomark show <path> [id] [--file <relative path>] [--json]\n"
    "                                               Print a saved file, or list a saved folder (default: the latest)\n"
    "  redomark restore <path> [id] [--file <relative path>] [--yes]\n"
    "                                               Put the folder (or one file/subfolder) back (default: the latest)\n"
    "  redomark undo <path> [--yes]                 Undo the last restore or put back of a folder\n"
    "  redomark run <path> [--name \"<text>\"] -- <command> [<argument>...]\n"
    "                                               Run a command with an undo point of the folder taken just before it\n"
    "  redomark delete <path> <id>... [--yes]       Delete saved redomarks of a folder\n"
    "  redomark folders [--space] [--json]          List every folder that has saved redomarks\n"
    "  redomark settings [--keep <n>] [--max-age <days>|none] [--budget <bytes>|none]\n"
    "                    [--hourly <n>] [--daily <n>] [--weekly <n>] [--monthly <n>] [--json]\n"
    "                                               Show or change how many redomarks are kept\n"
    "\n"
    "A redomark is an undo point on the same disk. It is not a backup.";

}  // namespace redomark
