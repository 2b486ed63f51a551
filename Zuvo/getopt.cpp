/* The command line's option scanner: single-letter options, grouped
 * ("-vO"), with arguments either attached ("-cprint 1") or in the next
 * element ("-c 'print 1'").  Scanning stops at the first operand, at "-"
 * (standard input is an operand) and after "--". */
#include "zvmain.h"

#include <stdio.h>
#include <string.h>

extern "C" {
int _ZvOS_opterr = 1;
int _ZvOS_optind = 1;
char *_ZvOS_optarg = nullptr;
}

namespace {

/* The rest of the option group being scanned ("" between groups). */
const char *opt_ptr = "";

} // namespace

extern "C" int _ZvOS_GetOpt(int argc, char **argv, const char *optstring)
{
    /* Starting over at the first element drops a group left unfinished
     * by an earlier scan. */
    if (_ZvOS_optind <= 1) opt_ptr = "";
    if (*opt_ptr == '\0') {
        if (_ZvOS_optind >= argc) return -1;
        const char *arg = argv[_ZvOS_optind];
        if (arg[0] != '-' || arg[1] == '\0') return -1;
        if (strcmp(arg, "--") == 0) {
            _ZvOS_optind++;
            return -1;
        }
        opt_ptr = arg + 1;
        _ZvOS_optind++;
    }
    int option = (unsigned char)*opt_ptr++;
    if (option == '\0') return -1;
    /* ':' only marks the options that take an argument. */
    const char *entry = option == ':' ? nullptr : strchr(optstring, option);
    if (entry == nullptr) {
        if (_ZvOS_opterr) fprintf(stderr, "Unknown option: -%c\n", option);
        return '?';
    }
    if (entry[1] != ':') return option;
    if (*opt_ptr != '\0') {
        _ZvOS_optarg = (char *)opt_ptr;
        opt_ptr = "";
        return option;
    }
    if (_ZvOS_optind >= argc) {
        if (_ZvOS_opterr) fprintf(stderr, "Argument expected for the -%c option\n", option);
        return '?';
    }
    _ZvOS_optarg = argv[_ZvOS_optind++];
    return option;
}
