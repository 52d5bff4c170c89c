#!/bin/sh
# A CGI program that shows what it was handed: its whole environment, then its standard
# input. It runs with nothing but the request's variables (no PATH): the shell then looks
# commands up in its own default path.
printf 'Content-Type: text/plain\r\n\r\n'
# The shell sets PWD for itself; the server did not hand it over.
unset PWD
env
printf -- '-- stdin --\n'
cat
