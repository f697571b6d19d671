<#
.SYNOPSIS
    Runs DownloadsPermissions once as SYSTEM on each of the given computers and
    returns one result per computer, as each finishes.

.DESCRIPTION
    Over PowerShell remoting (WinRM), for all computers at once (up to
    -ThrottleLimit at a time), this script:
      1. opens a session to each, giving up on one that does not answer within
         -OpenTimeoutSeconds;
      2. hands the executable and the detection script to each computer as
         bytes, in one Invoke-Command over all sessions; there they are written
         into a new folder under Program Files that only SYSTEM and
         Administrators may change, and the executable's SHA-256 is checked
         against the published one: nothing runs if they differ;
      3. runs the executable once as SYSTEM through a one-time scheduled task,
         waits for it to end and records its exit status at once;
      4. runs the detection script as SYSTEM through another one-time task, as
         Intune and Configuration Manager run it, then the exposure audit, and
         removes the tasks and the folder.
    The tool is never stopped: if it has not ended after -TimeoutSeconds, the
    result says so, and its task and folder are left for a later look.
    A computer that cannot be reached, or any step that fails, gives a result
    with the reason; the other computers go on.

    Each result has:
      ComputerName  the computer
      ExitStatus    the tool's exit status, or nothing when it did not run or
                    has not ended
      Meaning       what that status means, or why there is none
      Repaired      what the detection script found afterwards ($true or
                    $false), or nothing when it could not tell
      Exposure      how many ways the exposure audit found for other accounts
                    to change Downloads or what it holds, in one line
      Findings      the audit's findings themselves

.PARAMETER ComputerName
    The computers to repair.

.PARAMETER Path
    The executable to run. By default the signed executable beside this
    script, DownloadsPermissions.signed.exe.

.PARAMETER Sha256
    The published SHA-256 of the executable, 64 hexadecimal digits. By default
    it is read from the checksum file beside it (the executable's name
    followed by .sha256).

.PARAMETER Credential
    An administrator of the computers, when not the current account.

.PARAMETER TimeoutSeconds
    How long to wait for the tool on one computer before reporting it as still
    running. The tool itself is never stopped.

.PARAMETER OpenTimeoutSeconds
    How long to wait for a computer to accept a session.

.PARAMETER ThrottleLimit
    How many computers are worked on at once.

.EXAMPLE
    .\Invoke-DownloadsPermissions.ps1 -ComputerName (Get-Content machines.txt) |
        Export-Csv -NoTypeInformation -Path results.csv

    Writes each computer's result to results.csv as it arrives.

.NOTES
    Written for Windows PowerShell 5.1 on both ends; also runs from PowerShell 7.
    Run it from an elevated session of an account that administers the computers.
#>
[CmdletBinding()]
param(
    [Parameter(Mandatory = $true)]
    [string[]]$ComputerName,

    [string]$Path,

    [string]$Sha256,

    [System.Management.Automation.PSCredential]$Credential,

    [ValidateRange(10, 3600)]
    [int]$TimeoutSeconds = 300,

    [ValidateRange(1, 300)]
    [int]$OpenTimeoutSeconds = 15,

    [ValidateRange(1, 1024)]
    [int]$ThrottleLimit = 32
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

# ---------------------------------------------------------------------------
# Decisions, over plain data.

# The SHA-256 in text as 64 hexadecimal digits, upper case; what names the
# text (a file, a parameter) goes into the error.
function ConvertTo-Sha256 {
    param([AllowEmptyString()][string]$Text, [string]$Source)
    $hash = $Text.Trim()
    if ($hash -notmatch '^[0-9A-Fa-f]{64}$') {
        throw "$Source is not a SHA-256 (64 hexadecimal digits): '$hash'. Publish the checksum that sha256sum or Get-FileHash prints."
    }
    $hash.ToUpperInvariant()
}

# The hash in a checksum file's text, in the form sha256sum writes: the hash,
# two spaces (or a space and '*'), the file name, which must be FileName.
function Read-PublishedHash {
    param([AllowEmptyString()][AllowNull()][string]$Text, [string]$FileName, [string]$SumFile)
    $line = @(([string]$Text) -split "`r?`n" | Where-Object { $_.Trim() })
    if ($line.Count -eq 0) {
        throw "$SumFile is empty: it must hold the line that sha256sum writes for $FileName."
    }
    $hash, $name = $line[0].Trim() -split '\s+\*?', 2
    if ($name -ne $FileName) {
        throw "$SumFile is the checksum of '$name', not of $FileName."
    }
    ConvertTo-Sha256 $hash $SumFile
}

# What a scheduled task's last result says: the tool's own exit status, or
# one of Task Scheduler's codes, or another HRESULT (shown in hexadecimal).
function Get-TaskResultMeaning {
    param([long]$Result)
    $code = [uint32]($Result -band [long]4294967295)
    $hex = '0x{0:X8}' -f $code
    $scheduler = @{
        '0x00041300' = 'SCHED_S_TASK_READY: the task is ready but has not run'
        '0x00041301' = 'SCHED_S_TASK_RUNNING: the task is still running'
        '0x00041302' = 'SCHED_S_TASK_DISABLED: the task is disabled'
        '0x00041303' = 'SCHED_S_TASK_HAS_NOT_RUN: the task has not run'
        '0x00041304' = 'SCHED_S_TASK_NO_MORE_RUNS: the task will not run again'
        '0x00041305' = 'SCHED_S_TASK_NOT_SCHEDULED: the task is not scheduled'
        '0x00041306' = 'SCHED_S_TASK_TERMINATED: the task was ended by a user or by Task Scheduler'
        '0x00041307' = 'SCHED_S_TASK_NO_VALID_TRIGGERS: the task has no valid trigger'
        '0x8004130A' = 'SCHED_E_TASK_NOT_READY: the task is missing properties it needs to run'
        '0x8004130B' = 'SCHED_E_TASK_NOT_RUNNING: there is no running instance of the task'
        '0x8004130C' = 'SCHED_E_SERVICE_NOT_INSTALLED: Task Scheduler is not installed'
        '0x8004130D' = 'SCHED_E_CANNOT_OPEN_TASK: the task could not be opened'
        '0x8004130E' = 'SCHED_E_INVALID_TASK: the task is not valid'
        '0x8004130F' = 'SCHED_E_ACCOUNT_INFORMATION_NOT_SET: the task has no account information'
    }
    if ($scheduler.ContainsKey($hex)) {
        return "not run: Task Scheduler $hex $($scheduler[$hex])"
    }
    if ($code -ge 2147483648) {
        if ([math]::Floor($code / 65536) -eq 0x8007) {
            return "not run: Task Scheduler could not start the program: HRESULT $hex (Windows error $($code % 65536))"
        }
        return "not run: Task Scheduler HRESULT $hex"
    }
    switch ($code) {
        0 { 'the tool ended with status 0: Downloads carries the new list, or there was nothing to repair' }
        5 { 'not repaired: the account may not change Downloads (run it as SYSTEM); nothing was written' }
        32 { 'not repaired: another program holds Downloads open; nothing was written; run it again once that program has ended' }
        267 { 'not repaired: Downloads is not a folder; nothing was written' }
        681 { 'refused: the way to Downloads is a junction or link; nothing was written; treat it as tampering' }
        1350 { 'not repaired: the program-files folder has no access list; nothing was written' }
        default { "not repaired: Windows error $code; Downloads may be left closed; run it again once the cause is removed" }
    }
}

# One computer's result, as the caller sees it.
function New-RepairResult {
    param([string]$ComputerName, $ExitStatus = $null, [string]$Meaning, $Repaired = $null, $Findings = $null)
    $exposure = if ($null -eq $Findings) { 'not audited' }
    elseif (@($Findings).Count -eq 0) { 'no exposure found' }
    else { "$(@($Findings).Count) exposure finding(s)" }
    [pscustomobject][ordered]@{
        ComputerName = $ComputerName
        ExitStatus   = $ExitStatus
        Meaning      = $Meaning
        Repaired     = $Repaired
        Exposure     = $exposure
        Findings     = $Findings
    }
}

# ---------------------------------------------------------------------------
# The work on each computer. These functions are sent there as text, so they
# use nothing else from this script.

# A one-time task that runs Execute with Argument as SYSTEM, started now.
function Start-OneTimeTask {
    param([string]$Name, [string]$Execute, [string]$Argument)
    # -Execute takes the program's path as it is: Task Scheduler needs no quotes around it.
    $action = if ($Argument) {
        New-ScheduledTaskAction -Execute $Execute -Argument $Argument
    } else {
        New-ScheduledTaskAction -Execute $Execute
    }
    $principal = New-ScheduledTaskPrincipal -UserId 'S-1-5-18' -LogonType ServiceAccount -RunLevel Highest
    $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries
    Register-ScheduledTask -TaskName $Name -Action $action -Principal $principal -Settings $settings | Out-Null
    Start-ScheduledTask -TaskName $Name
}

# The task's result once it has ended, or $null when it is still running
# after TimeoutSeconds. It is never stopped: ending the tool between its two
# writes would leave Downloads closed.
function Wait-OneTimeTask {
    param([string]$Name, [int]$TimeoutSeconds)
    $hasNotRun = 0x41303   # SCHED_S_TASK_HAS_NOT_RUN
    $running = 0x41301     # SCHED_S_TASK_RUNNING
    for ($poll = 0; $poll -le 2 * $TimeoutSeconds; $poll++) {
        $state = (Get-ScheduledTask -TaskName $Name).State
        $result = [long](Get-ScheduledTaskInfo -TaskName $Name).LastTaskResult
        if ("$state" -ne 'Running' -and "$state" -ne 'Queued' -and $result -ne $hasNotRun -and $result -ne $running) {
            return $result
        }
        Start-Sleep -Milliseconds 500
    }
    $null
}

# Cleanup that never ends the run: what cannot be removed is left, and said.
function Remove-Quietly {
    param([scriptblock]$Removal, [string]$What)
    try {
        & $Removal | Out-Null
        ''
    } catch {
        " ($What was left: $($_.Exception.Message))"
    }
}

function New-StagingFolder {
    $folder = Join-Path $env:ProgramFiles ('DownloadsPermissions-' + [guid]::NewGuid().ToString('N'))
    New-Item -ItemType Directory -Path $folder | Out-Null
    $null = & icacls.exe $folder /inheritance:r /grant:r '*S-1-5-18:(OI)(CI)F' '*S-1-5-32-544:(OI)(CI)F'
    if ($LASTEXITCODE -ne 0) {
        $status = $LASTEXITCODE
        Remove-Item -LiteralPath $folder -Recurse -Force -ErrorAction SilentlyContinue
        throw "icacls could not restrict $folder to SYSTEM and Administrators (exit status $status)"
    }
    $folder
}

# The detection script as SYSTEM through a one-time task, its output kept in
# a file beside it. Hands back Repaired ($true, $false or $null) and Detail,
# why it is $null; never throws.
function Invoke-SystemDetection {
    param([string]$Script, [string]$Name)
    $found = Join-Path (Split-Path -Parent $Script) 'detection.txt'
    $quoted = { param($Text) "'" + $Text.Replace("'", "''") + "'" }
    $command = "& $(& $quoted $Script) | Out-File -Encoding ascii -FilePath $(& $quoted $found)"
    $outcome = @{ Repaired = $null; Detail = '' }
    try {
        Start-OneTimeTask -Name $Name -Execute "$env:SystemRoot\System32\WindowsPowerShell\v1.0\powershell.exe" `
            -Argument "-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command `"$command`""
        $ended = Wait-OneTimeTask -Name $Name -TimeoutSeconds 120
        if ($null -eq $ended) {
            $outcome.Detail = 'detection did not end within 120 seconds'
        } elseif ($ended -ne 0) {
            $outcome.Detail = "detection failed: PowerShell ended with $ended"
        } else {
            $outcome.Repaired = [bool](Get-Content -LiteralPath $found | Where-Object { "$_".Trim() })
        }
        $outcome.Detail += Remove-Quietly { Unregister-ScheduledTask -TaskName $Name -Confirm:$false } "task $Name"
    } catch {
        $outcome.Detail = "detection failed: $($_.Exception.Message)"
    }
    $outcome
}

# Stages the files, runs the tool and then the detection script as SYSTEM,
# and cleans up. Always hands back one object: ExitStatus (or $null),
# StillRunning, Repaired (or $null) and Detail, the reason for whatever is
# missing. The exit status is kept as soon as the tool has ended, whatever
# fails after.
function Invoke-RemoteRepair {
    param([byte[]]$Executable, [string]$ExecutableName, [string]$Detection, [string]$DetectionName,
        [string]$Audit, [string]$ExpectedHash, [int]$TimeoutSeconds)
    $outcome = @{ ExitStatus = $null; StillRunning = $false; Repaired = $null; Findings = $null; Detail = '' }
    $folder = $null
    try {
        $folder = New-StagingFolder
        $staged = Join-Path $folder $ExecutableName
        [System.IO.File]::WriteAllBytes($staged, $Executable)
        $actual = (Get-FileHash -LiteralPath $staged -Algorithm SHA256).Hash
        if ($actual -ne $ExpectedHash) {
            throw "the staged copy's SHA-256 is $actual, not the published $ExpectedHash; nothing was run"
        }
        $script = Join-Path $folder $DetectionName
        [System.IO.File]::WriteAllText($script, $Detection)

        $task = 'DownloadsPermissions-' + [guid]::NewGuid().ToString('N')
        Start-OneTimeTask -Name $task -Execute $staged
        $outcome.ExitStatus = Wait-OneTimeTask -Name $task -TimeoutSeconds $TimeoutSeconds
        if ($null -eq $outcome.ExitStatus) {
            $outcome.StillRunning = $true
            $outcome.Detail = "still running after $TimeoutSeconds seconds, result not known; Downloads may stay closed until it ends. Task '$task' and folder $folder are left for a later look: read the task's last result, then remove both"
        } else {
            $outcome.Detail += Remove-Quietly { Unregister-ScheduledTask -TaskName $task -Confirm:$false } "task $task"
            $detected = Invoke-SystemDetection -Script $script -Name "$task-detect"
            $outcome.Repaired = $detected.Repaired
            $outcome.Detail += $detected.Detail
            try {
                $outcome.Findings = @(& ([scriptblock]::Create($Audit)) -Summary:$false)
            } catch {
                $outcome.Detail += "; the exposure audit failed: $($_.Exception.Message)"
            }
        }
    } catch {
        $outcome.Detail += $_.Exception.Message
    } finally {
        if ($folder -and -not $outcome.StillRunning) {
            $outcome.Detail += Remove-Quietly { Remove-Item -LiteralPath $folder -Recurse -Force } "folder $folder"
        }
    }
    [pscustomobject]$outcome
}

# The script block each computer runs: the functions above, then the work.
function Get-RemoteWork {
    $names = 'Start-OneTimeTask', 'Wait-OneTimeTask', 'Remove-Quietly', 'New-StagingFolder', 'Invoke-SystemDetection',
        'Invoke-RemoteRepair'
    $functions = foreach ($name in $names) {
        "function $name {`n$((Get-Item "function:$name").ScriptBlock)`n}"
    }
    [scriptblock]::Create(@"
param([byte[]]`$Executable, [string]`$ExecutableName, [string]`$Detection, [string]`$DetectionName, [string]`$Audit, [string]`$ExpectedHash, [int]`$TimeoutSeconds)
`$ErrorActionPreference = 'Stop'
$($functions -join "`n")
Invoke-RemoteRepair -Executable `$Executable -ExecutableName `$ExecutableName -Detection `$Detection -DetectionName `$DetectionName -Audit `$Audit -ExpectedHash `$ExpectedHash -TimeoutSeconds `$TimeoutSeconds
"@)
}

# What one computer handed back, as its result.
function ConvertFrom-RemoteOutcome {
    param([string]$ComputerName, $Outcome)
    if ($Outcome.StillRunning) {
        return New-RepairResult -ComputerName $ComputerName -Meaning $Outcome.Detail
    }
    if ($null -eq $Outcome.ExitStatus) {
        return New-RepairResult -ComputerName $ComputerName -Meaning "not run: $($Outcome.Detail)"
    }
    $meaning = Get-TaskResultMeaning $Outcome.ExitStatus
    if ($Outcome.Detail) {
        $meaning += "; $($Outcome.Detail)"
    }
    New-RepairResult -ComputerName $ComputerName -ExitStatus $Outcome.ExitStatus -Meaning $meaning -Repaired $Outcome.Repaired `
        -Findings $Outcome.Findings
}

# The computer an error from remoting is about, where it says.
function Get-ErrorComputer {
    param($ErrorRecord, [string[]]$ComputerName)
    $origin = $ErrorRecord.PSObject.Properties['OriginInfo']
    if ($origin -and $origin.Value) {
        return $origin.Value.PSComputerName
    }
    $target = $ErrorRecord.TargetObject
    if ($target -and $target.PSObject.Properties['ComputerName']) {
        return $target.ComputerName
    }
    $ComputerName | Where-Object { "$ErrorRecord" -match [regex]::Escape($_) } | Select-Object -First 1
}

# ---------------------------------------------------------------------------
# The run.

function Invoke-Fleet {
    param([string[]]$ComputerName, [string]$Path, [string]$ExpectedHash, $Credential, [int]$TimeoutSeconds,
        [int]$OpenTimeoutSeconds, [int]$ThrottleLimit, [string]$Detection, [string]$Audit)
    $executable = [System.IO.File]::ReadAllBytes($Path)
    $detectionText = [System.IO.File]::ReadAllText($Detection)
    $auditText = [System.IO.File]::ReadAllText($Audit)
    $localHash = (Get-FileHash -LiteralPath $Path -Algorithm SHA256).Hash
    if ($localHash -ne $ExpectedHash) {
        throw "$Path has SHA-256 $localHash, not the published $ExpectedHash; nothing was run. Check that the file and its checksum come from the same release."
    }
    $names = @($ComputerName | Select-Object -Unique)

    $connect = @{
        ComputerName  = $names
        SessionOption = New-PSSessionOption -OpenTimeout ($OpenTimeoutSeconds * 1000)
        ThrottleLimit = $ThrottleLimit
        ErrorAction   = 'SilentlyContinue'
        ErrorVariable = 'openErrors'
    }
    if ($Credential) {
        $connect.Credential = $Credential
    }
    $openErrors = @()
    $sessions = @(New-PSSession @connect)
    $done = @{}
    try {
        foreach ($name in $names) {
            if (-not ($sessions | Where-Object { $_.ComputerName -eq $name })) {
                $why = $openErrors | Where-Object { (Get-ErrorComputer $_ $names) -eq $name } | Select-Object -First 1
                $done[$name] = $true
                New-RepairResult -ComputerName $name -Meaning "not run: could not connect: $(if ($why) { $why.Exception.Message } else { 'no session' })"
            }
        }
        if ($sessions.Count -gt 0) {
            $runErrors = @()
            Invoke-Command -Session $sessions -ScriptBlock (Get-RemoteWork) -ThrottleLimit $ThrottleLimit `
                -ArgumentList $executable, (Split-Path -Leaf $Path), $detectionText, (Split-Path -Leaf $Detection), $auditText, $ExpectedHash, $TimeoutSeconds `
                -ErrorAction SilentlyContinue -ErrorVariable runErrors |
                ForEach-Object {
                    $done[$_.PSComputerName] = $true
                    ConvertFrom-RemoteOutcome -ComputerName $_.PSComputerName -Outcome $_
                }
            foreach ($session in $sessions) {
                if (-not $done.ContainsKey($session.ComputerName)) {
                    $why = $runErrors | Where-Object { (Get-ErrorComputer $_ $names) -eq $session.ComputerName } | Select-Object -First 1
                    $done[$session.ComputerName] = $true
                    New-RepairResult -ComputerName $session.ComputerName -Meaning "result not known: the session ended before the computer answered$(if ($why) { ": $($why.Exception.Message)" }). If the tool ran, Downloads may stay closed until it ends; run the detection script there"
                }
            }
        }
    } finally {
        foreach ($session in $sessions) {
            try {
                Remove-PSSession -Session $session -ErrorAction Stop
            } catch {
                Write-Warning "could not close the session to $($session.ComputerName): $($_.Exception.Message)"
            }
        }
    }
}

# Dot-sourced (as the tests do), the script only defines its functions.
if ($MyInvocation.InvocationName -eq '.') {
    return
}
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
    # One line on standard error in 5.1 and 7 alike.
    $global:ErrorView = 'CategoryView'
    Write-Error -Category SecurityError -CategoryActivity 'Invoke-DownloadsPermissions.ps1' `
        -CategoryTargetName $ExecutionContext.SessionState.LanguageMode `
        -CategoryReason 'needs FullLanguage; use the signed copy' -Message 'needs FullLanguage mode' -ErrorAction Continue
    exit 1
}

if (-not $Path) {
    $Path = Join-Path $PSScriptRoot 'DownloadsPermissions.signed.exe'
}
$Path = (Resolve-Path -LiteralPath $Path).ProviderPath
if ($Sha256) {
    $Sha256 = ConvertTo-Sha256 $Sha256 '-Sha256'
} else {
    $sumFile = "$Path.sha256"
    if (-not (Test-Path -LiteralPath $sumFile -PathType Leaf)) {
        throw "no published checksum: pass -Sha256, or put $sumFile beside the executable"
    }
    $Sha256 = Read-PublishedHash -Text ([System.IO.File]::ReadAllText($sumFile)) -FileName (Split-Path -Leaf $Path) -SumFile $sumFile
}
$run = @{
    ComputerName       = $ComputerName
    Path               = $Path
    ExpectedHash       = $Sha256
    Credential         = $Credential
    TimeoutSeconds     = $TimeoutSeconds
    OpenTimeoutSeconds = $OpenTimeoutSeconds
    ThrottleLimit      = $ThrottleLimit
    Detection          = Join-Path $PSScriptRoot 'Test-DownloadsPermissions.ps1'
    Audit              = Join-Path $PSScriptRoot 'Get-DownloadsExposure.ps1'
}
Invoke-Fleet @run
