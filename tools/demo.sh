#!/usr/bin/env bash
echo "demo: the stub is built at build/win64/stub/msistub.exe; the demo product comes with the installer run." 
