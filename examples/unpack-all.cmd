@echo off
rem SPDX-License-Identifier: GPL-2.0-or-later
rem Unpack demos with the unlzon.exe beside this script, one run each: every
rem demo below each folder given (the README's "Which files": every *.bin,
rem links included) and each file given, whatever its name. Drop folders or
rem demos onto it in Explorer, or run
rem     unpack-all.cmd PATH...
rem Each failure is named after unlzon's own error line; the last lines say
rem "N unpacked, M failed" and name the failed demos. The exit status is 0
rem only when every demo was unpacked, 1 otherwise, 2 for a usage line:
rem without a PATH, or asked for one first (a slash and a question mark, -h
rem or --help). A "/" and "?" together make cmd's rem print its own help.
rem Started by a drop, the window waits for a key.
rem
rem A name reaches cmd's parser only inside quotes or through !delayed!
rem expansion, whose result is never parsed again; and delayed expansion is
rem off wherever a name passes through %%f or %name%, as it would eat "!".
setlocal EnableExtensions DisableDelayedExpansion
set "me=%~f0"
set "unlzon=%~dp0unlzon.exe"
set /a unpacked=0, failed=0, paths=0
set "dropped="

rem Explorer starts a script that folders or files are dropped onto as
rem cmd /c ""SCRIPT" PATH...", quoting only names with spaces: a name with "&"
rem would end the command there, so the names are taken from the command line
rem itself, and "exit" rather than "exit /b" keeps cmd from running the rest.
setlocal EnableDelayedExpansion
set "line=!cmdcmdline!"
if not defined line goto typed
set "after=!line:*/c =!"
if "!after!"=="!line!" goto typed
set "rest="
for /f "delims=" %%h in (""!me!"") do set "rest=!after:*%%h=!"
set "check=""!me!"!rest!"
if /i not "!after!"=="!check!" goto typed
rem The last quote closes the one after /c.
set "rest=!rest:~0,-1!"
for %%p in (!rest!) do (
    endlocal
    set "arg=%%~p"
    call :take
    setlocal EnableDelayedExpansion
)
endlocal
set "dropped=yes"
goto summary

:typed
endlocal
rem No file has the first name; one named "-h" is given as .\-h.
if "%~1"=="/?" goto usage
if /i "%~1"=="-h" goto usage
if /i "%~1"=="--help" goto usage
:typed_next
if "%~1"=="" goto summary
set "arg=%~1"
call :take
shift
goto typed_next

:summary
if not %paths%==0 goto counts
:usage
echo usage: unpack-all.cmd PATH... ^(or drop folders or demos onto it^)
set "code=2"
goto end
:counts
set "code=0"
if not %failed%==0 set "code=1"
if %failed%==0 echo %unpacked% unpacked, %failed% failed
if not %failed%==0 echo %unpacked% unpacked, %failed% failed:
for /l %%n in (1,1,%failed%) do call :name_failed %%n
:end
if not defined dropped exit /b %code%
pause
exit %code%

rem Unpack %arg%: every demo below it if it is a folder, else the file itself.
:take
set /a paths+=1
set "demo=%arg%"
if exist "%unlzon%" goto take_found
echo unpack-all.cmd: no unlzon.exe beside this script
goto failure
:take_found
set "attributes="
for %%a in ("%arg%") do set "attributes=%%~aa"
if not "%attributes:~0,1%"=="d" goto unpack
set "folder=%arg%"
goto walk

rem Every *.bin in %folder%, then the folders below it, passing over a link
rem to a folder there, as find -H does. Wine's cmd takes no quoted wildcard,
rem so the walk enters each folder. A folder that shows nothing is listed
rem once more, to tell an empty one from one that cannot be read.
:walk
rem "(call )" sets no error, so that only pushd's own counts; Wine's cmd
rem takes any pushd for a failure after "||".
(call )
pushd "%folder%" 2>nul
if errorlevel 1 goto walk_unreadable
set "seen="
for %%f in (*) do set "seen=yes"
for /d %%d in (*) do set "seen=yes"
if defined seen goto walk_listed
dir /a >nul 2>&1
if not errorlevel 1 goto walk_listed
popd
:walk_unreadable
echo unpack-all.cmd: cannot read the folder
set "demo=%folder%"
goto failure
:walk_listed
for %%f in (*.bin) do (
    set "demo=%%~ff"
    set "extension=%%~xf"
    call :unpack_bin
)
for /d %%d in (*) do (
    set "folder=%%~fd"
    set "attributes=%%~ad"
    call :below
)
popd
goto :eof

:below
if not "%attributes:l=%"=="%attributes%" goto :eof
goto walk

:unpack_bin
if /i not "%extension%"==".bin" goto :eof
:unpack
"%unlzon%" "%demo%" >nul
if not "%errorlevel%"=="0" goto failure
set /a unpacked+=1
goto :eof

rem %demo% failed: named now and in the summary.
:failure
set /a failed+=1
set "failed_%failed%=%demo%"
setlocal EnableDelayedExpansion
echo failed: !demo!
endlocal
goto :eof

:name_failed
setlocal EnableDelayedExpansion
echo   !failed_%1!
endlocal
goto :eof
