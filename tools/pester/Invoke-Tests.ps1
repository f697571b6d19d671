<#
.SYNOPSIS
    Runs the Pester tests of the deployment scripts and of the acceptance
    script with the Pester that the project pins, and prints one line of
    counts.

.DESCRIPTION
    Pester comes from the NuGet package that tools/install-deps.sh restores
    into tools/pester/packages; no other copy is used. The last line printed is
    "pester: N passed, N failed, N skipped". Exits 1 when a test failed or a
    test file could not run.
#>
[CmdletBinding()]
param()

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$module = @(Get-ChildItem -Path (Join-Path $PSScriptRoot 'packages/pester/*/tools/Pester.psd1'))
if ($module.Count -ne 1) {
    throw "expected one Pester in $PSScriptRoot/packages, found $($module.Count): run tools/install-deps.sh"
}
Import-Module $module[0].FullName -Force

$configuration = New-PesterConfiguration
$top = Split-Path -Parent (Split-Path -Parent $PSScriptRoot)
$configuration.Run.Path = @((Join-Path $top 'deploy'),
    (Join-Path $top 'Source/Code/Deploy/Hotfixes/DownloadsPermissions/tests/acceptance'))
$configuration.Run.PassThru = $true
$configuration.Output.Verbosity = 'Normal'
$configuration.Output.RenderMode = 'Plaintext'
$result = Invoke-Pester -Configuration $configuration

'pester: {0} passed, {1} failed, {2} skipped' -f $result.PassedCount, ($result.FailedCount + $result.FailedBlocksCount +
    $result.FailedContainersCount), $result.SkippedCount
if ($result.Result -ne 'Passed') {
    exit 1
}
