<?php
// Stand-in for the web interface's session script: prints the user name of
// the PHP session whose id is the first argument and exits 0; exits 254 when
// that session holds no logged-in user, 253 when the id is not a valid
// session id. Sessions live in install/corvale/var/php_sessions.
ini_set('display_errors', 'stderr');
ini_set('session.use_cookies', '0');
ini_set('session.use_strict_mode', '0');
session_save_path(__DIR__ . '/../var/php_sessions');

if ($argc < 2 || !preg_match('/^[A-Za-z0-9,-]{1,128}$/', $argv[1])) {
    exit(253);
}
session_id($argv[1]);
if (!@session_start(['read_and_close' => true])) {
    exit(253);
}
if (!isset($_SESSION['user_name']) || !is_string($_SESSION['user_name']) || $_SESSION['user_name'] === '') {
    exit(254);
}
echo $_SESSION['user_name'];
exit(0);
