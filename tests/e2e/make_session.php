<?php
// Creates a logged-in PHP session for user $argv[2] in the session folder
// $argv[1] and prints its id.
ini_set('display_errors', 'stderr');
ini_set('session.use_cookies', '0');
session_save_path($argv[1]);
session_start();
$_SESSION['user_name'] = $argv[2];
echo session_id();
session_write_close();
