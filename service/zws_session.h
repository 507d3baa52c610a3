// Session check of the web interface and the PHP runner.
//
// The web interface logs users in with PHP sessions; trellan takes the
// session id from the PHPSESSID cookie and asks the web interface's script
// "install/corvale/auth-cgi-bin/user_name_get.php" (run by the interpreter
// "install/php/bin/php" below the install root) whose user it is: exit status
// 0 with the user name on standard output, 253 or 254 for a session that is
// not logged in, anything else a failure.
//
// Status: 0 success, 13 not authorised, 22 failure.
#pragma once

struct zws_memcache_s;
// User-name cache handle; the cache is always empty.
typedef struct zws_memcache_s zws_memcache_t;

struct zws_session_t {
    zws_memcache_t *memcache;
};

int zws_memcache_init(zws_memcache_t **memcache_p);
void zws_memcache_exit(zws_memcache_t *memcache);
// Always a miss (22); nothing is stored.
int zws_memcache_get_user_name(zws_memcache_t *memcache, const char *session_id, char **user_name_p);
int zws_memcache_set_user_name(zws_memcache_t *memcache, const char *session_id, const char *user_name);

// The process's holder; a second call hands back the existing one.
int zws_session_init(zws_session_t **session_p, zws_memcache_t *memcache);
void zws_session_exit(zws_session_t *session);

// The user of the request's session: 13 without HTTP_COOKIE, 22 without a
// usable PHPSESSID, else the script's answer. The name is a heap text the
// caller releases with free().
int zws_session_user_name_get(zws_session_t *session, char **user_name_p);
// The first non-empty PHPSESSID value of HTTP_COOKIE; release with
// zws_session_id_free.
int zws_session_id_get(char **session_id_p);
void zws_session_id_free(char *session_id);
// Runs the session script for `session_id`: 0 with the name (its whole
// output, unchanged; an empty name counts as not logged in, 13), 13 for exit
// status 253 or 254, 22 otherwise.
int zws_session_user_name_get_external(const char *session_id, char **user_name_p);

// How long a PHP child may run before it is killed and the call fails.
constexpr int ZWS_PHP_DEADLINE_MS = 5000;

// Runs the interpreter on `script` (relative to the install root) with 0 to 3
// arguments. 0 when the child was started, its output read and it ended by
// itself: *output_p (heap, NUL-terminated, release with free()), its length
// and the exit status. 22 otherwise, with no output: the child could not be
// started, did not end normally, or outlived ZWS_PHP_DEADLINE_MS (it is then
// killed and reaped). The child gets /dev/null as standard input, the pipe as
// standard output and no other descriptor of trellan's but standard error.
int zws_exec_php_request(const char *script, int argc, const char *arg1, const char *arg2, const char *arg3,
                         char **output_p, int *output_length_p, int *exit_code_p);
