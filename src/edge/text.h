// SPDX-License-Identifier: BSD-2-Clause
// Small texts of the helper: bounded copies and joins, lines, whole files.
#pragma once

#include <cstddef>
#include <string>

// Copies text into out (size bytes); callers have checked that it fits, and
// a longer one is cut, never overrun.
void copy_text(char* out, size_t size, const char* text);

// The end of the line that starts at p (its newline or the terminator);
// *next is where the following line starts.
const char* line_end(const char* p, const char** next);

// Copies the next word of *p (words are separated by blanks and commas) into
// out and moves *p past it: 1, 0 when no word is left, -1 when the word does
// not fit in size bytes.
int next_word(const char** p, char* out, size_t size);

// Adds item to a list for a message: "a, b, c".
void add_to_list(std::string* list, const std::string& item);

// Joins count words with single blanks into out (size bytes), cut to fit.
void join_words(const char* const* words, int count, char* out, size_t size);

// Reads the whole text file at path into text (size bytes, terminated): 1,
// 0 when there is no such file, or -1 after logging (not a regular file,
// unreadable, larger than size - 1 bytes, holding a NUL byte, or a symbolic
// link to nothing). Never waits: a FIFO or device at the path is refused,
// not read.
int read_text_file(const char* path, char* text, size_t size);

// Replaces the file at path with text in one step (a temporary file in the
// same folder, then a rename): a reader sees the old file or the new one,
// never a part. The folder is made when it is missing. With durable, the
// text and the rename are on the disk before it returns. Temporary files
// an earlier call left when it was killed are removed (callers hold the
// helper's lock). 0, or -1 after logging, with the error in errno.
int replace_file(const char* path, const char* text, int durable);

// Removes the file at path; no file is fine. 0, or -1 after logging.
int remove_file(const char* path);
