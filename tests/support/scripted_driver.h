/* The scripted ODBC driver's test interface. The driver is a shared library that the real
 * driver manager loads through a test's private odbcinst.ini; a test links the same library,
 * so both reach one copy of the script and of the record. Not thread-safe by design: one test
 * thread drives it. */
#ifndef TARN_TESTS_SUPPORT_SCRIPTED_DRIVER_H
#define TARN_TESTS_SUPPORT_SCRIPTED_DRIVER_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Handle kinds for the counters (the ODBC handle type numbers). */
enum { SCRIPTED_ENV = 1, SCRIPTED_DBC = 2, SCRIPTED_STMT = 3 };

/* Forgets every queued outcome and reply and the whole record. Handle counters are kept, since
 * handles may still be live; compare counts taken before and after instead. */
void scripted_reset(void);

/* Queues the result of the next unscripted statement: one row, one column holding the bytes. */
void scripted_queue_reply(const char* bytes, size_t length);
/* Queues a one-row result of several columns; a NULL entry in columns is an SQL NULL. */
void scripted_queue_row(size_t count, const char* const* columns, const size_t* lengths);
/* Queues a result of one column whose single row holds SQL NULL. */
void scripted_queue_null_reply(void);
/* Queues a result of one column and no rows (the fetch answers SQL_NO_DATA). */
void scripted_queue_empty_result(void);
/* Makes the most recently queued result report this column length instead of the true one. */
void scripted_set_reported_length(long length);
/* Makes the fetch of the reply queued last answer SQL_SUCCESS_WITH_INFO with one record, as a
 * driver hands over the server's words on a failed request. */
void scripted_set_fetch_warning(const char* sqlstate, long native, const char* message);

/* Makes the next connect answer rc, posting sqlstate (5 characters) when it is not NULL. A
 * succeeding rc leaves the connection open. Outcomes queue; an unscripted connect succeeds. */
void scripted_next_connect(short rc, const char* sqlstate);
/* Makes the next succeeding connect complete with text instead of echoing its input. */
void scripted_next_completion(const char* text);
/* Makes the next statement execution answer rc with sqlstate; no result is consumed. */
void scripted_next_execute(short rc, const char* sqlstate);
/* Gives the connect or execute outcome queued last this native error and diagnostic message
 * (instead of 0 and the driver's fixed text). */
void scripted_describe_last_outcome(long native, const char* message);
/* Makes the next statement handle allocation fail with sqlstate on the connection. */
void scripted_fail_next_alloc_stmt(const char* sqlstate);

/* Every statement executed, byte for byte, in order; the pointer lives until scripted_reset. */
size_t scripted_statement_count(void);
const char* scripted_statement(size_t index, size_t* length);
/* Every connection string a connect received, in order. */
size_t scripted_connect_count(void);
const char* scripted_connect_string(size_t index, size_t* length);
/* A line per driver call of interest, e.g. "SQLFreeStmt 0", "SQLExecDirect",
 * "SQLColAttributes 1 3", "SQLGetData 1 1 13", "SQLDriverConnect 256 0". */
size_t scripted_call_count(void);
const char* scripted_call(size_t index);

/* Handles of a kind that the driver handed out and took back, since the library was loaded. */
long scripted_allocated(int kind);
long scripted_freed(int kind);

#ifdef __cplusplus
}
#endif

#endif
