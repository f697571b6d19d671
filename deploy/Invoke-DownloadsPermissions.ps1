<#
.SYNOPSIS
    Runs DownloadsPermissions once as SYSTEM on each of the given computers and
    returns one result per computer.

.DESCRIPTION
    For each computer, over PowerShell remoting (WinRM), this script:
      1. makes a new folder under the computer's Program Files that only SYSTEM
         and Administrators may change, and copies the executable and the
         detection script into it from this computer (Copy-Item -ToSession, so
         no second hop to a file share is needed);
      2. checks the copy's SHA-256 against the published one, and runs nothing
         if they differ;
      3. registers a one-time scheduled task that runs the copy as SYSTEM,
         starts it, waits for it to end, reads its result, and removes it;
      4. runs the detection script there, and removes the folder.
    A computer that cannot be reached, or any step that fails, gives a result
    with no exit status and the reason; the other computers go on.

    Each result has:
      ComputerName  the computer
      ExitStatus    the tool's exit status, or nothing when it did not run
      Meaning       what that status means, or why the tool did not run
      Repaired      what the detection script found afterwards ($true or
                    $false), or nothing when it did not run

.PARAMETER ComputerName
    The computers to repair.

.PARAMETER Path
    The executable to run. By default the signed executable beside this
    script, DownloadsPermissions.signed.exe.

.PARAMETER Sha256
    The published SHA-256 of the executable. By default it is read from the
    checksum file beside it (the executable's name followed by .sha256).

.PARAMETER Credential
    An administrator of the computers, when not the current account.

.PARAMETER TimeoutSeconds
    How long the tool may run on one computer before the run counts as failed.

.EXAMPLE
    .\Invoke-DownloadsPermissions.ps1 -ComputerName (Get-Content machines.txt) | Format-Table -AutoSize

.NOTES
    Written for Windows PowerShell 5.1 on both ends; also runs from PowerShell 7.
    Run it from an elevated session of an account that administers the computers.
#>
[CmdletBinding()]
param(
    [Parameter(Mandatory = $true)]
    [string[]]$ComputerName,

    [string]$Path = (Join-Path $PSScriptRoot 'DownloadsPermissions.signed.exe'),

    [string]$Sha256,

    [System.Management.Automation.PSCredential]$Credential,

    [ValidateRange(10, 3600)]
    [int]$TimeoutSeconds = 300
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$Detection = Join-Path $PSScriptRoot 'Test-DownloadsPermissions.ps1'

function Get-PublishedHash([string]$Executable) {
    $sumFile = "$Executable.sha256"
    if (-not (Test-Path -LiteralPath $sumFile -PathType Leaf)) {
        throw "no published checksum: pass -Sha256, or put $sumFile beside the executable"
    }
    # The form sha256sum writes: the hash, two spaces, the file name.
    $hash, $name = (Get-Content -LiteralPath $sumFile -TotalCount 1).Trim() -split '\s+\*?', 2
    if ($name -ne (Split-Path -Leaf $Executable)) {
        throw "$sumFile is the checksum of '$name', not of $(Split-Path -Leaf $Executable)"
    }
    $hash
}

function Get-StatusMeaning([long]$Status, $Repaired) {
    switch ($Status) {
        0 {
            if ($Repaired) { 'repaired' }
            else { 'nothing the tool may do here (no agent, no Downloads folder or no rights), or not yet repaired: run the detection script with -Explain' }
        }
        32 { 'not repaired: another program holds Downloads open; run it again once that program has ended' }
        681 { 'refused: the way to Downloads is a junction or link; nothing was written; treat it as tampering' }
        default { "not repaired: Windows error $Status; Downloads may be left closed; run it again once the cause is removed" }
    }
}

# On the target: a fresh folder that only SYSTEM and Administrators may change.
$MakeStagingFolder = {
    $ErrorActionPreference = 'Stop'
    $folder = Join-Path $env:ProgramFiles ('DownloadsPermissions-' + [guid]::NewGuid().ToString('N'))
    New-Item -ItemType Directory -Path $folder | Out-Null
    $null = & icacls.exe $folder /inheritance:r /grant:r '*S-1-5-18:(OI)(CI)F' '*S-1-5-32-544:(OI)(CI)F'
    if ($LASTEXITCODE -ne 0) {
        Remove-Item -LiteralPath $folder -Recurse -Force
        throw "icacls could not restrict $folder (exit status $LASTEXITCODE)"
    }
    $folder
}

# On the target: checks the staged copy, runs it once as SYSTEM through a
# scheduled task and hands back the task's result, which is the tool's exit status.
$RunAsSystem = {
    param([string]$Executable, [string]$Expected, [int]$TimeoutSeconds)
    $ErrorActionPreference = 'Stop'
    $actual = (Get-FileHash -LiteralPath $Executable -Algorithm SHA256).Hash
    if ($actual -ne $Expected) {
        throw "the staged copy's SHA-256 is $actual, not the published $Expected; nothing was run"
    }
    $hasNotRun = 0x41303   # SCHED_S_TASK_HAS_NOT_RUN
    $running = 0x41301     # SCHED_S_TASK_RUNNING
    $name = 'DownloadsPermissions-' + [guid]::NewGuid().ToString('N')
    # -Execute takes the program's path as it is: Task Scheduler needs no quotes around it.
    $action = New-ScheduledTaskAction -Execute $Executable
    $principal = New-ScheduledTaskPrincipal -UserId 'S-1-5-18' -LogonType ServiceAccount -RunLevel Highest
    $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries `
        -ExecutionTimeLimit (New-TimeSpan -Seconds $TimeoutSeconds)
    Register-ScheduledTask -TaskName $name -Action $action -Principal $principal -Settings $settings | Out-Null
    try {
        Start-ScheduledTask -TaskName $name
        $deadline = (Get-Date).AddSeconds($TimeoutSeconds + 30)
        do {
            Start-Sleep -Milliseconds 500
            $state = (Get-ScheduledTask -TaskName $name).State
            $result = (Get-ScheduledTaskInfo -TaskName $name).LastTaskResult
            $ended = $state -ne 'Running' -and $state -ne 'Queued' -and $result -ne $hasNotRun -and $result -ne $running
        } until ($ended -or (Get-Date) -gt $deadline)
        if (-not $ended) {
            Stop-ScheduledTask -TaskName $name
            throw "the tool did not end within $TimeoutSeconds seconds"
        }
        [long]$result
    } finally {
        Unregister-ScheduledTask -TaskName $name -Confirm:$false
    }
}

# On the target: the detection script as Intune and Configuration Manager run it.
$Detect = {
    param([string]$Script)
    $found = & "$env:SystemRoot\System32\WindowsPowerShell\v1.0\powershell.exe" -NoProfile -NonInteractive `
        -ExecutionPolicy Bypass -File $Script
    [bool]($found | Where-Object { $_ })
}

$Path = (Resolve-Path -LiteralPath $Path).ProviderPath
if (-not $Sha256) {
    $Sha256 = Get-PublishedHash $Path
}
$Sha256 = $Sha256.ToUpperInvariant()
$localHash = (Get-FileHash -LiteralPath $Path -Algorithm SHA256).Hash
if ($localHash -ne $Sha256) {
    throw "$Path has SHA-256 $localHash, not the published $Sha256; nothing was run"
}

foreach ($computer in $ComputerName) {
    $outcome = [ordered]@{ ComputerName = $computer; ExitStatus = $null; Meaning = $null; Repaired = $null }
    $session = $null
    $folder = $null
    try {
        $connect = @{ ComputerName = $computer; ErrorAction = 'Stop' }
        if ($Credential) {
            $connect.Credential = $Credential
        }
        $session = New-PSSession @connect
        $folder = Invoke-Command -Session $session -ScriptBlock $MakeStagingFolder -ErrorAction Stop
        Copy-Item -LiteralPath $Path, $Detection -Destination $folder -ToSession $session -ErrorAction Stop
        $staged = "$folder\" + (Split-Path -Leaf $Path)
        $status = Invoke-Command -Session $session -ScriptBlock $RunAsSystem -ErrorAction Stop `
            -ArgumentList $staged, $Sha256, $TimeoutSeconds
        $repaired = Invoke-Command -Session $session -ScriptBlock $Detect -ErrorAction Stop `
            -ArgumentList "$folder\$(Split-Path -Leaf $Detection)"
        $outcome.ExitStatus = $status
        $outcome.Repaired = $repaired
        $outcome.Meaning = Get-StatusMeaning $status $repaired
    } catch {
        $outcome.Meaning = "not run: $($_.Exception.Message)"
    } finally {
        if ($session) {
            if ($folder) {
                Invoke-Command -Session $session -ErrorAction SilentlyContinue -ScriptBlock {
                    param([string]$Folder)
                    Remove-Item -LiteralPath $Folder -Recurse -Force
                } -ArgumentList $folder
            }
            Remove-PSSession $session
        }
    }
    [pscustomobject]$outcome
}
