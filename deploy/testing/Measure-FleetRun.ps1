<#
.SYNOPSIS
    Measures what the remote run costs on this machine alone, for many
    computers, and prints the figures.

.DESCRIPTION
    Invoke-DownloadsPermissions.ps1's Invoke-Fleet runs against stand-ins for
    New-PSSessionOption, New-PSSession, Invoke-Command and Remove-PSSession
    that answer at once, as the Pester tests' mocks do: one computer in 50
    does not answer, one in 100 loses its session, the others hand back a
    repaired outcome. What is measured is the run's own work (names made
    unique, batches, results matched to computers, errors given to theirs),
    not remoting or the work on the computers. A measurement, not a test: it
    never fails on a slow machine.

.PARAMETER Count
    The fleet sizes to measure.

.PARAMETER BatchSize
    The batch size, as -BatchSize of the script.

.EXAMPLE
    dotnet tool run pwsh -NoProfile -File deploy/testing/Measure-FleetRun.ps1
#>
[CmdletBinding()]
param(
    [int[]]$Count = @(1000, 10000),

    [int]$BatchSize = 200
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$deploy = Split-Path -Parent $PSScriptRoot
. (Join-Path $deploy 'Invoke-DownloadsPermissions.ps1') -ComputerName 'only defining functions'

# Stand-ins that answer at once. Defined here, they come before the cmdlets
# of the same names when Invoke-Fleet calls them.
function New-PSSessionOption {
    [CmdletBinding()]
    param([int]$OpenTimeout)
    [pscustomobject]@{ OpenTimeout = $OpenTimeout }
}

function New-PSSession {
    [CmdletBinding()]
    param([string[]]$ComputerName, $SessionOption, [int]$ThrottleLimit, $Credential)
    foreach ($name in $ComputerName) {
        if ($name.EndsWith('0') -and $name.Length -gt 3 -and ([int]$name.Substring(2)) % 50 -eq 0) {
            # As New-PSSession reports it: the runspace that would not open.
            $runspace = [pscustomobject]@{ ConnectionInfo = [pscustomobject]@{ ComputerName = $name } }
            Write-Error -Message "Connecting to remote server $name failed: WinRM cannot complete the operation" -TargetObject $runspace
        } else {
            [pscustomobject]@{ ComputerName = $name.ToLowerInvariant() }
        }
    }
}

function Invoke-Command {
    [CmdletBinding()]
    param([object[]]$Session, [scriptblock]$ScriptBlock, [int]$ThrottleLimit, [object[]]$ArgumentList)
    foreach ($one in $Session) {
        if ($one.ComputerName.EndsWith('7') -and ([int]$one.ComputerName.Substring(2)) % 100 -eq 7) {
            # As Invoke-Command reports a broken session: its computer's name.
            Write-Error -Message "The session to $($one.ComputerName) was broken" -TargetObject $one.ComputerName
            continue
        }
        [pscustomobject]@{
            LanguageMode   = 'FullLanguage'
            Applies        = $true
            ExitStatus     = 0
            StillRunning   = $false
            Repaired       = $true
            Findings       = @()
            Detail         = ''
            PSComputerName = $one.ComputerName
        }
    }
}

function Remove-PSSession {
    [CmdletBinding()]
    param([object[]]$Session)
}

$folder = Join-Path ([IO.Path]::GetTempPath()) ('fleet-bench-' + [guid]::NewGuid().ToString('N'))
New-Item -ItemType Directory -Path $folder | Out-Null
try {
    $exe = Join-Path $folder 'tool.exe'
    [IO.File]::WriteAllBytes($exe, [byte[]](1..200))
    $scripts = foreach ($name in 'detect.ps1', 'audit.ps1', 'applies.ps1') {
        $file = Join-Path $folder $name
        Set-Content -LiteralPath $file -Value "'$name'"
        $file
    }
    $hash = (Get-FileHash -LiteralPath $exe -Algorithm SHA256).Hash
    foreach ($size in $Count) {
        # Each name twice, once in upper case, as a list pasted from two
        # inventories would have it.
        $names = @(1..$size | ForEach-Object { "pc$_" }) + @(1..$size | ForEach-Object { "PC$_" })
        $results = 0
        $unreachable = 0
        $clock = [Diagnostics.Stopwatch]::StartNew()
        Invoke-Fleet -ComputerName $names -Path $exe -ExpectedHash $hash -TimeoutSeconds 300 -OpenTimeoutSeconds 15 `
            -ThrottleLimit 32 -BatchSize $BatchSize -Detection $scripts[0] -Audit $scripts[1] -Requirement $scripts[2] 3>$null |
            ForEach-Object {
                $results++
                if ($_.Meaning -like 'not run: could not connect*') {
                    $unreachable++
                }
            }
        $clock.Stop()
        '{0,6} machines ({1} names given), batches of {2}: {3:N1} s of local work, {4:N2} ms a machine; {5} results, {6} not reached' -f `
            $size, $names.Count, $BatchSize, $clock.Elapsed.TotalSeconds, ($clock.Elapsed.TotalMilliseconds / $size), $results, $unreachable
    }
} finally {
    Remove-Item -LiteralPath $folder -Recurse -Force
}
