/* Reading a source file line by line for error reports (the offending
 * line of a syntax error, the lines of a traceback), shared by errors.cpp
 * and traceback.cpp. */
#ifndef ZV_LINEREADER_H
#define ZV_LINEREADER_H

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zv {

/* Opens a source file for reading its lines, or NULL.  Only a regular file
 * is opened: a device or a pipe named as the source (/dev/zero, a FIFO)
 * could block the open or never end a line, and holds no source anyway. */
inline FILE *open_source(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat sb;
    FILE *fp = nullptr;
    if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode)) fp = fdopen(fd, "rb");
    if (fp == nullptr) close(fd);
    return fp;
}

/* Reads one piece of a line into buf (at most size - 1 characters), with
 * universal newlines: "\r\n" and a lone "\r" become "\n".  Returns the
 * number of characters stored (0 at end of file).  A piece that does not
 * end in a newline continues the same line. */
inline size_t read_line_piece(FILE *fp, char *buf, size_t size)
{
    size_t n = 0;
    while (n + 1 < size) {
        int c = getc(fp);
        if (c == EOF) break;
        if (c == '\r') {
            int next = getc(fp);
            if (next != '\n' && next != EOF) ungetc(next, fp);
            c = '\n';
        }
        buf[n++] = (char)c;
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return n;
}


/* Reads the first piece of line `lineno` (1-based) into buf; 0 when the
 * file has fewer lines.  Longer lines before it are skipped piece by
 * piece, so a long line costs no more memory and counts once. */
inline size_t read_line(FILE *fp, int lineno, char *buf, size_t size)
{
    for (int i = 1; i < lineno; i++) {
        size_t n;
        do {
            n = read_line_piece(fp, buf, size);
        } while (n > 0 && buf[n - 1] != '\n');
        if (n == 0) return 0; /* end of file before the wanted line */
    }
    return read_line_piece(fp, buf, size);
}

/* The text after leading blanks, tabs and form feeds. */
inline const char *skip_blanks(const char *p)
{
    while (*p == ' ' || *p == '\t' || *p == '\f') p++;
    return p;
}
} // namespace zv

#endif // ZV_LINEREADER_H
