@echo off
rem Greets its arguments and shows the packed data file.
if "%~1"=="" (echo Hello, world!) else (echo Hello, %*!)
type app\data\message.txt
