@echo off
rem Greets its arguments, counts them and shows the packed data files;
rem without arguments it shows its usage and ends with exit code 1.
rem A t command starts it with the work directory as current directory.
set count=0
for %%a in (%*) do set /a count+=1
if "%~1"=="" (
  echo usage: hello NAME...
  exit /b 1
)
echo Hello, %*!
echo %count% arguments
type app\data\message.txt
for /f "usebackq delims=" %%c in ("app\data\lists\colors.txt") do echo color: %%c
