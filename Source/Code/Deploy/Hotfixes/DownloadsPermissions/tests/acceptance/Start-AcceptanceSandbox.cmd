@echo off
rem Runs the acceptance in Windows Sandbox on a double-click: see Start-AcceptanceSandbox.ps1.
powershell.exe -NoProfile -ExecutionPolicy Bypass -File "%~dp0Start-AcceptanceSandbox.ps1"
if errorlevel 1 pause
