<#
.SYNOPSIS
    Runs the acceptance in Windows Sandbox: writes a Windows Sandbox
    configuration for where this kit lies and starts it.

.DESCRIPTION
    Windows Sandbox maps host folders only by absolute path (its
    documentation: relative paths aren't supported), so no configuration can
    be shipped ready-made. This script writes DownloadsPermissions.wsb into
    results beside it, mapping the kit read-only as C:\Kit, this folder (the
    acceptance kit) read-only as C:\Acceptance and results read-write as
    C:\Results, with a logon command that runs Invoke-WindowsAcceptance.ps1
    told it may change the sandbox; then it opens that file, as a
    double-click would. The report appears in results when the sandbox's
    PowerShell window has closed. Start-AcceptanceSandbox.cmd beside it runs
    this script on a double-click. It returns the configuration file's path.

.PARAMETER Kit
    The kit (dist/): by default dist beside this script's folder, as the
    build lays out dist/ and acceptance-kit/.

.PARAMETER NoStart
    Writes the configuration without starting Windows Sandbox.

.NOTES
    Written for Windows PowerShell 5.1 on Windows 10 or 11 Pro or Enterprise
    with the Windows Sandbox feature on.
#>
[CmdletBinding()]
param(
    [string]$Kit,
    [switch]$NoStart
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

# Whether a Windows path is absolute: a drive and a backslash, or a UNC share.
function Test-AbsoluteWindowsPath {
    param([string]$Path)
    $Path -match '^[A-Za-z]:\\' -or $Path -match '^\\\\[^\\]+\\[^\\]+'
}

# The Windows Sandbox configuration (XML text) for a kit, the acceptance kit
# and its results folder, all given as absolute Windows paths.
function New-SandboxConfiguration {
    param([string]$Kit, [string]$Acceptance, [string]$Results)
    foreach ($path in $Kit, $Acceptance, $Results) {
        if (-not (Test-AbsoluteWindowsPath $path)) {
            throw "Windows Sandbox maps host folders only by absolute path; '$path' is not one"
        }
    }
    $kitText = [Security.SecurityElement]::Escape($Kit.TrimEnd('\'))
    $acceptanceText = [Security.SecurityElement]::Escape($Acceptance.TrimEnd('\'))
    $resultsText = [Security.SecurityElement]::Escape($Results.TrimEnd('\'))
    @"
<!-- Written by Start-AcceptanceSandbox.ps1 for the kit in $kitText; write it again if the kit moves. -->
<Configuration>
  <Networking>Disable</Networking>
  <MappedFolders>
    <MappedFolder>
      <HostFolder>$kitText</HostFolder>
      <SandboxFolder>C:\Kit</SandboxFolder>
      <ReadOnly>true</ReadOnly>
    </MappedFolder>
    <MappedFolder>
      <HostFolder>$acceptanceText</HostFolder>
      <SandboxFolder>C:\Acceptance</SandboxFolder>
      <ReadOnly>true</ReadOnly>
    </MappedFolder>
    <MappedFolder>
      <HostFolder>$resultsText</HostFolder>
      <SandboxFolder>C:\Results</SandboxFolder>
      <ReadOnly>false</ReadOnly>
    </MappedFolder>
  </MappedFolders>
  <LogonCommand>
    <Command>powershell.exe -NoProfile -ExecutionPolicy Bypass -File C:\Acceptance\Invoke-WindowsAcceptance.ps1 -ChangeThisMachine -Kit C:\Kit -Results C:\Results</Command>
  </LogonCommand>
</Configuration>
"@
}

# Dot-sourced (as the tests do), the script only defines its functions.
if ($MyInvocation.InvocationName -eq '.') {
    return
}
if (-not $Kit) { $Kit = Join-Path (Split-Path -Parent $PSScriptRoot) 'dist' }
$Kit = (Resolve-Path -LiteralPath $Kit).ProviderPath
$results = Join-Path $PSScriptRoot 'results'
# Windows Sandbox refuses to start when a host folder does not exist.
New-Item -ItemType Directory -Force -Path $results | Out-Null
$file = Join-Path $results 'DownloadsPermissions.wsb'
New-SandboxConfiguration -Kit $Kit -Acceptance $PSScriptRoot -Results $results | Set-Content -Encoding UTF8 -LiteralPath $file
if (-not $NoStart) {
    if (-not (Test-Path -LiteralPath "$env:SystemRoot\System32\WindowsSandbox.exe")) {
        throw "Windows Sandbox is not turned on here: turn on the Windows feature 'Windows Sandbox' (Containers-DisposableClientVM), restart, and run this again; or open $file on a machine that has it, after moving the kit there and running this again"
    }
    Start-Process -FilePath $file
}
$file
