<#
.SYNOPSIS
    Measures the remote run's own work on this machine for many computers,
    and prints the figures.

.DESCRIPTION
    Invoke-Fleet runs against stand-ins for the job and clock commands:
    every computer answers "repaired", -Throttle at a time, each after
    -Seconds of simulated time, so the run looks at each pending child job
    once a simulated second for as long as a real run would. That look and
    the rows are what is measured: work that grows with the number of
    computers times the run's length. A measurement, not a test.

.PARAMETER Count
    The fleet sizes to measure.

.PARAMETER Seconds
    How long each computer takes, in simulated seconds.

.PARAMETER Throttle
    How many computers work at once.

.EXAMPLE
    dotnet tool run pwsh -NoProfile -File deploy/testing/Measure-FleetRun.ps1
#>
[CmdletBinding()]
param(
    [int[]]$Count = @(1000, 10000),
    [int]$Seconds = 20,
    [int]$Throttle = 32
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'
. (Join-Path (Split-Path -Parent $PSScriptRoot) 'Invoke-DownloadsPermissions.ps1') -ComputerName 'only defining functions'

$answer = @{ Answer = 'run1'; Result = [Management.Automation.PSSerializer]::Serialize(@{ Applies = $true; ExitStatus = 0; Line = $null
            Repaired = $true; Findings = @([pscustomobject]@{ Kind = 'Baseline'; Path = 'C:\D' }); Notes = @() }, 4)
}
$clock = [pscustomobject]@{ Seconds = 0; Next = 0; Children = @() }
# Stand-ins, defined here so that they come before the cmdlets. A simulated
# second ends every child job due by then, in the order they were started.
function Invoke-Command { [pscustomobject]@{ ChildJobs = $clock.Children } }
function Receive-Job {
    param($Job)
    $answer
}
function Stop-Job { param($Job) }
function Remove-Job { param($Job, [switch]$Force) }
function Get-Date { ([datetime]'2030-01-01').AddSeconds($clock.Seconds) }
function Start-Sleep {
    param([int]$Seconds)
    $clock.Seconds += $Seconds
    while ($clock.Next -lt $clock.Children.Count -and $clock.Children[$clock.Next].EndsAt -le $clock.Seconds) {
        $clock.Children[$clock.Next].State = 'Completed'
        $clock.Next++
    }
}

foreach ($size in $Count) {
    $clock.Seconds, $clock.Next = 0, 0
    $clock.Children = @(for ($i = 0; $i -lt $size; $i++) {
            [pscustomobject]@{ Location = "pc$i"; State = 'Running'; EndsAt = ([math]::Floor($i / $Throttle) + 1) * $Seconds
                JobStateInfo = [pscustomobject]@{ Reason = $null }
            }
        })
    $timer = [Diagnostics.Stopwatch]::StartNew()
    $rows = @(Invoke-Fleet -ComputerName @($clock.Children | ForEach-Object { $_.Location }) -Work @{ Name = 'run1' } -Connect @{} `
            -ThrottleLimit $Throttle -Deadline ([datetime]'2030-01-01').AddDays(30) -AuditOnly $false -FindingsPath '')
    $timer.Stop()
    '{0,6} computers, {1} at a time, {2} s each: a run of {3:N1} h, of which {4:N0} s of work here ({5:P1}); {6} rows' -f $size, $Throttle,
        $Seconds, ($clock.Seconds / 3600), $timer.Elapsed.TotalSeconds, ($timer.Elapsed.TotalSeconds / $clock.Seconds), $rows.Count
}
