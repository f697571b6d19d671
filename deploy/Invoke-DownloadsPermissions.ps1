<#
.SYNOPSIS
    Runs DownloadsPermissions once as SYSTEM on each of the given computers and
    returns one result per computer, as each finishes.

.DESCRIPTION
    Over PowerShell remoting (WinRM), batch by batch (-BatchSize computers at a
    time, up to -ThrottleLimit of them worked on at once), this script:
      1. opens a session to each computer of the batch, giving up on one that
         does not answer within -OpenTimeoutSeconds;
      2. hands the executable, the detection script, the exposure audit and
         the requirement script to each computer as bytes, in one
         Invoke-Command over the batch's sessions; there they are written into
         a new folder under Program Files that only SYSTEM and Administrators
         may change, and the executable's SHA-256 is checked against the
         published one: nothing runs if they differ. Where the signed copies
         of the scripts (NAME.signed.ps1) lie beside this script, those are
         the ones handed over;
      3. runs the requirement script as SYSTEM through a one-time scheduled
         task; where it answers False, the tool does not run and the result
         says "not applicable";
      4. runs the executable once as SYSTEM through another one-time task,
         waits for it to end (for -TimeoutSeconds at most, by the clock) and
         records its exit status at once;
      5. runs the detection script, then the exposure audit, as SYSTEM through
         one-time tasks, each by its path, as Intune and Configuration Manager
         run them, and removes the tasks and the folder;
      6. closes the batch's sessions before the next batch opens its own.
    The tool is never stopped: if it has not ended after -TimeoutSeconds, or
    its end cannot be read once it was started, the result says so, and its
    task and folder are left for a later look.
    A computer that cannot be reached, or any step that fails, gives a result
    with the reason; the other computers go on. A computer named twice (in any
    mix of upper and lower case) is worked on once, under the first spelling.
    A computer whose remote sessions run in ConstrainedLanguage mode (WDAC or
    AppLocker) cannot be worked on this way; its result says so.

    Each result has:
      ComputerName  the computer
      Applies       what the requirement script found there as SYSTEM: $true
                    where the tool would act, $false where it would not (the
                    tool is then not run), nothing when it could not tell
      ExitStatus    the tool's exit status, or nothing when it did not run or
                    has not ended
      Meaning       what that status means, or why there is none, followed by
                    anything that went wrong afterwards
      Repaired      what the detection script found afterwards ($true or
                    $false), or nothing when it could not tell or the tool did
                    not run
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

.PARAMETER BatchSize
    How many computers have a session open at a time. Each batch's sessions
    are opened, used and closed before the next batch's are opened.

.EXAMPLE
    .\Invoke-DownloadsPermissions.ps1 -ComputerName (Get-Content machines.txt) |
        Export-Csv -NoTypeInformation -Path results.csv

    Writes each computer's result to results.csv as it arrives.

.NOTES
    Written for Windows PowerShell 5.1 on both ends; also runs from PowerShell 7.
    Run it from an elevated session of an account that administers the computers.
    Meant for a pilot and for up to some hundreds of computers; Intune or
    Configuration Manager is the way to reach a whole fleet.

    The route step by step, and what each result and exit status means:
    docs/deploying.md in the project's source, section "Remote run (a pilot
    or a few hundred machines)".

.LINK
    docs/deploying.md#remote-run-a-pilot-or-a-few-hundred-machines

.LINK
    docs/deploying.md#exit-status-and-output
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
    [int]$ThrottleLimit = 32,

    [ValidateRange(1, 10000)]
    [int]$BatchSize = 200
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

# Task Scheduler's own results, by the names Microsoft documents for them.
$SchedulerResults = @{
    '0x00041300' = 'SCHED_S_TASK_READY: the task is ready but has not run'
    '0x00041301' = 'SCHED_S_TASK_RUNNING: the task is still running'
    '0x00041302' = 'SCHED_S_TASK_DISABLED: the task is disabled'
    '0x00041303' = 'SCHED_S_TASK_HAS_NOT_RUN: the task has not run'
    '0x00041304' = 'SCHED_S_TASK_NO_MORE_RUNS: the task will not run again'
    '0x00041305' = 'SCHED_S_TASK_NOT_SCHEDULED: the task is not scheduled'
    '0x00041306' = 'SCHED_S_TASK_TERMINATED: the last run of the task was terminated by the user'
    '0x00041307' = 'SCHED_S_TASK_NO_VALID_TRIGGERS: the task has no valid trigger'
    '0x8004130A' = 'SCHED_E_TASK_NOT_READY: the task is missing properties it needs to run'
    '0x8004130B' = 'SCHED_E_TASK_NOT_RUNNING: there is no running instance of the task'
    '0x8004130C' = 'SCHED_E_SERVICE_NOT_INSTALLED: Task Scheduler is not installed'
    '0x8004130D' = 'SCHED_E_CANNOT_OPEN_TASK: the task could not be opened'
    '0x8004130E' = 'SCHED_E_INVALID_TASK: the task is not valid'
    '0x8004130F' = 'SCHED_E_ACCOUNT_INFORMATION_NOT_SET: the task has no account information'
}
# NTSTATUS values a process commonly ends with when Windows or a debugger
# stops it: errors, warnings and informational values.
$AbnormalEnds = @{
    '0x40010004' = 'DBG_TERMINATE_PROCESS'
    '0x40010005' = 'DBG_CONTROL_C'
    '0x80000001' = 'STATUS_GUARD_PAGE_VIOLATION'
    '0x80000002' = 'STATUS_DATATYPE_MISALIGNMENT'
    '0x80000003' = 'STATUS_BREAKPOINT'
    '0xC0000005' = 'STATUS_ACCESS_VIOLATION'
    '0xC00000FD' = 'STATUS_STACK_OVERFLOW'
    '0xC0000135' = 'STATUS_DLL_NOT_FOUND'
    '0xC0000142' = 'STATUS_DLL_INIT_FAILED'
    '0xC000013A' = 'STATUS_CONTROL_C_EXIT'
    '0xC0000374' = 'STATUS_HEAP_CORRUPTION'
    '0xC0000409' = 'STATUS_STACK_BUFFER_OVERRUN'
}

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

# The script to hand over: the signed copy (Name.signed.ps1) where it lies in
# Folder, else the plain one.
function Select-ScriptCopy {
    param([string]$Folder, [string]$Name)
    foreach ($candidate in "$Name.signed.ps1", "$Name.ps1") {
        $file = Join-Path $Folder $candidate
        if (Test-Path -LiteralPath $file -PathType Leaf) {
            return $file
        }
    }
    throw "neither $Name.signed.ps1 nor $Name.ps1 lies in $Folder; put the kit's scripts beside this script"
}

# The computers to work on: blank names dropped, each name once whatever its
# case, in the first spelling given.
function Get-UniqueName {
    param([string[]]$ComputerName)
    $seen = New-Object 'System.Collections.Generic.HashSet[string]' ([System.StringComparer]::OrdinalIgnoreCase)
    foreach ($name in $ComputerName) {
        $name = "$name".Trim()
        if ($name -and $seen.Add($name)) {
            $name
        }
    }
}

# What a scheduled task's last result says: the tool's own exit status, an
# end from outside (the task stopped, or an NTSTATUS), one of Task
# Scheduler's codes, or another HRESULT (shown in hexadecimal).
function Get-TaskResultMeaning {
    param([long]$Result)
    $code = [uint32]($Result -band [long]4294967295)
    $hex = '0x{0:X8}' -f $code
    if ($hex -eq '0x00041306') {
        # SCHED_S_TASK_TERMINATED: the tool ran and was stopped, which may
        # have been between its two writes.
        return "the tool was stopped before it ended; Downloads may be left closed; run it again (Task Scheduler $hex $($SchedulerResults[$hex]))"
    }
    if ($SchedulerResults.ContainsKey($hex)) {
        return "not run: Task Scheduler $hex $($SchedulerResults[$hex])"
    }
    # NTSTATUS values: errors (0xC0000000 and above), the warnings a process
    # can end with (0x80000001 to 0x8000002F) and informational values
    # (0x40000000 to 0x7FFFFFFF). None is one of the tool's own statuses,
    # which are all below 0x10000; other 0x8xxxxxxx values (0x8007xxxx,
    # 0x8004xxxx) are HRESULTs from Task Scheduler. (Written in decimal:
    # 5.1 reads 0x80000000 and above as negative.)
    $ntError = $code -ge 3221225472
    $ntWarning = $code -ge 2147483649 -and $code -le 2147483695
    $ntInformational = $code -ge 1073741824 -and $code -le 2147483647
    if ($ntError -or $ntWarning -or $ntInformational) {
        # Windows ended the process, which may have stopped between the
        # tool's two writes.
        $name = if ($AbnormalEnds.ContainsKey($hex)) { " $($AbnormalEnds[$hex])" } else { '' }
        return "the tool stopped abnormally; Downloads may be left closed; run it again (exit status $hex$name)"
    }
    if ($code -ge 2147483648) {
        if ([math]::Floor($code / 65536) -eq 0x8007) {
            return "not run: Task Scheduler could not start the program: HRESULT $hex (Windows error $($code % 65536))"
        }
        return "not run: Task Scheduler HRESULT $hex"
    }
    switch ($code) {
        0 { 'the tool ended with status 0: Downloads carries the new list, or there was nothing to repair' }
        2 { 'not repaired: Downloads moved during the run; nothing was written; run it again' }
        5 { 'not repaired: the agent''s key refuses full access, or the account may not open Downloads or look inside it (run it as SYSTEM); nothing was written' }
        32 { 'not repaired: another program holds Downloads open; nothing was written; run it again once that program has ended' }
        206 { 'not repaired: the tree inside Downloads is too deep to check; nothing was written' }
        267 { 'not repaired: Downloads is not a folder; nothing was written' }
        681 { 'refused: a link on the way to Downloads, or a link, another reparse point or a file with more than one name inside it; nothing was written; the exposure audit names it: treat it as tampering, remove it and run it again' }
        1350 { 'not repaired: the program-files folder has no access list; nothing was written' }
        default { "not repaired: Windows error $code; Downloads may be left closed; run it again once the cause is removed" }
    }
}

# One computer's result, as the caller sees it.
function New-RepairResult {
    param([string]$ComputerName, $Applies = $null, $ExitStatus = $null, [string]$Meaning, $Repaired = $null, $Findings = $null)
    $exposure = if ($null -eq $Findings) { 'not audited' }
    elseif (@($Findings).Count -eq 0) { 'no exposure found' }
    else { "$(@($Findings).Count) exposure finding(s)" }
    [pscustomobject][ordered]@{
        ComputerName = $ComputerName
        Applies      = $Applies
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
    # The program's path in double quotes, as Task Scheduler's own interface
    # writes it: the staged tool lies under Program Files, whose space would
    # otherwise end the path. No Windows path can hold a double quote.
    $program = '"' + $Execute + '"'
    $action = if ($Argument) {
        New-ScheduledTaskAction -Execute $program -Argument $Argument
    } else {
        New-ScheduledTaskAction -Execute $program
    }
    $principal = New-ScheduledTaskPrincipal -UserId 'S-1-5-18' -LogonType ServiceAccount -RunLevel Highest
    $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries
    Register-ScheduledTask -TaskName $Name -Action $action -Principal $principal -Settings $settings | Out-Null
    Start-ScheduledTask -TaskName $Name
}

# The clock that bounds a wait.
function New-WaitClock {
    [System.Diagnostics.Stopwatch]::StartNew()
}

# Waits for a task to end, for TimeoutSeconds at most by the clock. Hands back
# Ended, Result (the task's last result once it has ended) and Started
# (whether Task Scheduler has started it at all). A task that has not run yet
# (SCHED_S_TASK_HAS_NOT_RUN) or is running (SCHED_S_TASK_RUNNING) has no
# result of its own. Nothing is stopped: ending the tool between its two
# writes would leave Downloads closed.
function Wait-OneTimeTask {
    param([string]$Name, [int]$TimeoutSeconds)
    $hasNotRun = 0x41303
    $running = 0x41301
    $started = $false
    $clock = New-WaitClock
    while ($true) {
        $state = "$((Get-ScheduledTask -TaskName $Name).State)"
        $result = [long](Get-ScheduledTaskInfo -TaskName $Name).LastTaskResult
        if ($state -eq 'Running' -or ($state -ne 'Queued' -and $result -ne $hasNotRun)) {
            $started = $true
        }
        if ($state -ne 'Running' -and $state -ne 'Queued' -and $result -ne $hasNotRun -and $result -ne $running) {
            return @{ Ended = $true; Result = $result; Started = $true }
        }
        if ($clock.Elapsed.TotalSeconds -ge $TimeoutSeconds) {
            return @{ Ended = $false; Result = $null; Started = $started }
        }
        Start-Sleep -Milliseconds 500
    }
}

# What a run that cannot tell the tool's result leaves behind, and what to do.
function Get-LeftForLater {
    param([string]$Task, [string]$Folder)
    "Task '$Task' and folder $Folder are left for a later look: read the task's last result, then remove both"
}

# Cleanup that never ends the run: nothing when it worked, else what was left
# and why.
function Remove-Quietly {
    param([scriptblock]$Removal, [string]$What)
    try {
        & $Removal | Out-Null
    } catch {
        "$What was left: $($_.Exception.Message)"
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

# A staged script run by its path as SYSTEM through a one-time task, as
# Intune and Configuration Manager run it, so that Windows judges the file and
# its signature. Its output goes to Output.txt beside it (Output.xml through
# Export-Clixml with -Objects), what it writes as errors to Output.err.txt.
# Hands back Status (PowerShell's exit status, or $null), Output (the lines or
# objects, when it ended with 0) and Notes (what went wrong); never throws.
function Invoke-SystemScript {
    param([string]$Script, [string]$Arguments, [string]$Name, [string]$What, [string]$Output, [int]$TimeoutSeconds,
        [switch]$Objects)
    $folder = Split-Path -Parent $Script
    $out = Join-Path $folder $(if ($Objects) { "$Output.xml" } else { "$Output.txt" })
    $err = Join-Path $folder "$Output.err.txt"
    $quoted = { param($Text) "'" + $Text.Replace("'", "''") + "'" }
    $sink = if ($Objects) { 'Export-Clixml' } else { 'Out-File -Encoding utf8' }
    # The script is called by its path; the few words around it use only
    # what ConstrainedLanguage allows. Windows PowerShell's -File cannot pass
    # a switch's $false, so the call is made from -Command. The status is the
    # script's own: 0 when it ends by itself or by `exit 0` ($? is then
    # true), whatever a program it ran last left in $LASTEXITCODE; else the
    # status its `exit` gave.
    $command = "try { & $(& $quoted $Script) $Arguments 2>$(& $quoted $err) | $sink -LiteralPath $(& $quoted $out); `$ok = `$? } " +
        "catch { `$_.Exception.Message | Out-File -Encoding utf8 -LiteralPath $(& $quoted $err); exit 1 }; " +
        "if (`$ok) { exit 0 }; exit `$LASTEXITCODE"
    $outcome = @{ Status = $null; Output = $null; Notes = @() }
    try {
        Start-OneTimeTask -Name $Name -Execute "$env:SystemRoot\System32\WindowsPowerShell\v1.0\powershell.exe" `
            -Argument "-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command `"$command`""
        $ended = Wait-OneTimeTask -Name $Name -TimeoutSeconds $TimeoutSeconds
        if (-not $ended.Ended) {
            $outcome.Notes += "$What did not end within $TimeoutSeconds seconds"
        } else {
            $outcome.Status = $ended.Result
            if ($ended.Result -ne 0) {
                $why = ''
                if (Test-Path -LiteralPath $err -PathType Leaf) {
                    $why = (@(Get-Content -LiteralPath $err | Where-Object { "$_".Trim() }) -join ' ').Trim()
                }
                $outcome.Notes += "$What failed: PowerShell ended with $($ended.Result)$(if ($why) { ": $why" })"
            } elseif ($Objects) {
                $outcome.Output = @(Import-Clixml -LiteralPath $out)
            } else {
                $outcome.Output = @(Get-Content -LiteralPath $out)
            }
        }
        $outcome.Notes += @(Remove-Quietly { Unregister-ScheduledTask -TaskName $Name -Confirm:$false } "task $Name")
    } catch {
        $outcome.Notes += "$What failed: $($_.Exception.Message)"
    }
    $outcome
}

# Stages the files, asks the requirement, runs the tool and then detection
# and the audit as SYSTEM, and cleans up. Always hands back one object:
# LanguageMode (the remote session's), Applies, ExitStatus (or $null),
# StillRunning, Repaired (or $null), Findings (or $null) and Detail: all that
# went wrong, in order. The exit status is kept as soon as the tool has ended,
# whatever fails after.
function Invoke-RemoteRepair {
    param([byte[]]$Executable, [string]$ExecutableName, [hashtable]$Scripts, [string]$ExpectedHash, [int]$TimeoutSeconds)
    $mode = "$($ExecutionContext.SessionState.LanguageMode)"
    $outcome = @{ LanguageMode = $mode; Applies = $null; ExitStatus = $null; StillRunning = $false; Repaired = $null
        Findings = $null; Detail = ''
    }
    if ($mode -ne 'FullLanguage') {
        # Nothing can be staged here; say so rather than fail on the first
        # step. (ConstrainedLanguage refuses a [pscustomobject] cast.)
        return New-Object -TypeName PSObject -Property $outcome
    }
    $notes = @()
    $folder = $null
    $task = $null
    $toolStarted = $false
    try {
        $folder = New-StagingFolder
        $staged = Join-Path $folder $ExecutableName
        [System.IO.File]::WriteAllBytes($staged, $Executable)
        $actual = (Get-FileHash -LiteralPath $staged -Algorithm SHA256).Hash
        if ($actual -ne $ExpectedHash) {
            throw "the staged copy's SHA-256 is $actual, not the published $ExpectedHash; nothing was run"
        }
        $paths = @{}
        foreach ($role in 'Requirement', 'Detection', 'Audit') {
            $paths[$role] = Join-Path $folder $Scripts[$role].Name
            [System.IO.File]::WriteAllBytes($paths[$role], [byte[]]$Scripts[$role].Content)
        }
        $task = 'DownloadsPermissions-' + [guid]::NewGuid().ToString('N')
        $audit = @{ Script = $paths.Audit; Arguments = '-Summary:$false -MaxSeconds 120'; Name = "$task-audit"
            What = 'the exposure audit'; Output = 'audit'; TimeoutSeconds = 240; Objects = $true
        }

        $required = Invoke-SystemScript -Script $paths.Requirement -Name "$task-applies" -What 'the requirement' `
            -Output 'requirement' -TimeoutSeconds 120
        $notes += $required.Notes
        if ($required.Status -eq 0) {
            $answer = (@($required.Output | Where-Object { "$_".Trim() }) -join ' ').Trim()
            if ($answer -eq 'True') {
                $outcome.Applies = $true
            } elseif ($answer -eq 'False') {
                $outcome.Applies = $false
            } else {
                $notes += "the requirement printed '$answer', not True or False"
            }
        }

        if ($false -eq $outcome.Applies) {
            # The tool would do nothing here; the audit may say why.
            $audited = Invoke-SystemScript @audit
            $outcome.Findings = $audited.Output
            $notes += $audited.Notes
        } else {
            # From here on the tool may be running: whatever fails before its
            # status is read leaves its task and folder in place.
            $toolStarted = $true
            Start-OneTimeTask -Name $task -Execute $staged
            $ended = Wait-OneTimeTask -Name $task -TimeoutSeconds $TimeoutSeconds
            if (-not $ended.Ended) {
                $outcome.StillRunning = $true
                $left = Get-LeftForLater $task $folder
                $waited = "still running after $TimeoutSeconds seconds, result not known; Downloads may stay closed until it ends. $left"
                if (-not $ended.Started) {
                    $waited = "not started after $TimeoutSeconds seconds: Task Scheduler has not run the tool yet and may still do so; result not known. $left"
                }
                $notes += $waited
            } else {
                $outcome.ExitStatus = $ended.Result
                $notes += @(Remove-Quietly { Unregister-ScheduledTask -TaskName $task -Confirm:$false } "task $task")
                $detected = Invoke-SystemScript -Script $paths.Detection -Name "$task-detect" -What 'detection' `
                    -Output 'detection' -TimeoutSeconds 120
                $notes += $detected.Notes
                if ($detected.Status -eq 0) {
                    $outcome.Repaired = [bool]@($detected.Output | Where-Object { "$_".Trim() })
                }
                $audited = Invoke-SystemScript @audit
                $outcome.Findings = $audited.Output
                $notes += $audited.Notes
            }
        }
    } catch {
        if ($toolStarted -and $null -eq $outcome.ExitStatus -and -not $outcome.StillRunning) {
            # The tool was started and its end was not seen: as good as
            # still running.
            $outcome.StillRunning = $true
            $notes += "started, result not known: $($_.Exception.Message); Downloads may stay closed until it ends. " +
                (Get-LeftForLater $task $folder)
        } else {
            $notes += $_.Exception.Message
        }
    } finally {
        if ($folder -and -not $outcome.StillRunning) {
            $notes += @(Remove-Quietly { Remove-Item -LiteralPath $folder -Recurse -Force } "folder $folder")
        }
        $outcome.Detail = @($notes | Where-Object { $_ }) -join '; '
    }
    [pscustomobject]$outcome
}

# The script block each computer runs: the functions above, then the work.
function Get-RemoteWork {
    $names = 'Start-OneTimeTask', 'New-WaitClock', 'Wait-OneTimeTask', 'Get-LeftForLater', 'Remove-Quietly',
        'New-StagingFolder', 'Invoke-SystemScript', 'Invoke-RemoteRepair'
    $functions = foreach ($name in $names) {
        "function $name {`n$((Get-Item "function:$name").ScriptBlock)`n}"
    }
    [scriptblock]::Create(@"
param([hashtable]`$Work)
`$ErrorActionPreference = 'Stop'
$($functions -join "`n")
Invoke-RemoteRepair -Executable `$Work.Executable -ExecutableName `$Work.ExecutableName -Scripts `$Work.Scripts -ExpectedHash `$Work.ExpectedHash -TimeoutSeconds `$Work.TimeoutSeconds
"@)
}

# What one computer handed back, as its result.
function ConvertFrom-RemoteOutcome {
    param([string]$ComputerName, $Outcome)
    $mode = if ($Outcome.PSObject.Properties['LanguageMode']) { "$($Outcome.LanguageMode)" } else { 'FullLanguage' }
    if ($mode -and $mode -ne 'FullLanguage') {
        return New-RepairResult -ComputerName $ComputerName `
            -Meaning "not run: the target runs remote commands in $mode (WDAC or AppLocker); use Intune or Configuration Manager there"
    }
    $applies = $null
    if ($Outcome.PSObject.Properties['Applies']) {
        $applies = $Outcome.Applies
    }
    $findings = $null
    if ($Outcome.PSObject.Properties['Findings']) {
        $findings = $Outcome.Findings
    }
    $notes = if ($Outcome.Detail) { "; $($Outcome.Detail)" } else { '' }
    if ($Outcome.StillRunning) {
        return New-RepairResult -ComputerName $ComputerName -Applies $applies -Meaning $Outcome.Detail
    }
    if ($false -eq $applies) {
        return New-RepairResult -ComputerName $ComputerName -Applies $false -Findings $findings `
            -Meaning "not applicable: the requirement, run as SYSTEM, found nothing the tool would repair here (no agent key that opens for full access, no folder in its Path value, or no Downloads folder); the tool was not run$notes"
    }
    if ($null -eq $Outcome.ExitStatus) {
        return New-RepairResult -ComputerName $ComputerName -Applies $applies -Meaning "not run: $($Outcome.Detail)" -Findings $findings
    }
    New-RepairResult -ComputerName $ComputerName -Applies $applies -ExitStatus $Outcome.ExitStatus `
        -Meaning "$(Get-TaskResultMeaning $Outcome.ExitStatus)$notes" -Repaired $Outcome.Repaired -Findings $findings
}

# The computer an error from remoting is about, as remoting itself records
# it: the OriginInfo of an error raised on a computer, or the target of one
# raised here (Invoke-Command names a broken session's computer; New-PSSession
# gives the runspace that would not open, with its connection information;
# a PSSession has its ComputerName). Never guessed from the message.
function Get-ErrorComputer {
    param($ErrorRecord)
    $origin = $ErrorRecord.PSObject.Properties['OriginInfo']
    if ($origin -and $origin.Value -and $origin.Value.PSComputerName) {
        return "$($origin.Value.PSComputerName)"
    }
    $target = $ErrorRecord.TargetObject
    if ($null -eq $target) {
        return $null
    }
    if ($target -is [string]) {
        return $target
    }
    if ($target.PSObject.Properties['ComputerName'] -and $target.ComputerName) {
        return "$($target.ComputerName)"
    }
    $connection = $target.PSObject.Properties['ConnectionInfo']
    if ($connection -and $connection.Value -and $connection.Value.PSObject.Properties['ComputerName']) {
        return "$($connection.Value.ComputerName)"
    }
    $null
}

# Gives each error to its computer's entry in Machines (the first error each),
# under Field; an error that names no computer of the batch is a warning.
function Add-ErrorToMachine {
    param([hashtable]$Machines, $Errors, [string]$Field)
    foreach ($record in @($Errors)) {
        $name = Get-ErrorComputer $record
        $entry = if ($name) { $Machines[$name] } else { $null }
        if ($null -eq $entry) {
            Write-Warning "remoting reported an error for no computer of this batch: $($record.Exception.Message)"
        } elseif ($null -eq $entry.$Field) {
            $entry.$Field = $record
        }
    }
}

# ---------------------------------------------------------------------------
# The run.

# One batch: opens its sessions, hands out the work, streams the results,
# gives every computer of the batch one result and closes every session.
function Invoke-FleetBatch {
    param([string[]]$ComputerName, [hashtable]$Connect, [scriptblock]$RemoteWork, [hashtable]$Work, [int]$ThrottleLimit)
    # The batch's computers, keyed on their names in any case.
    $machines = New-Object System.Collections.Hashtable ([System.StringComparer]::OrdinalIgnoreCase)
    foreach ($name in $ComputerName) {
        $machines[$name] = [pscustomobject]@{ Name = $name; Session = $null; Done = $false; OpenError = $null; RunError = $null }
    }
    $openErrors = @()
    $sessions = @(New-PSSession @Connect -ComputerName $ComputerName -ErrorVariable openErrors)
    try {
        $live = New-Object System.Collections.Generic.List[object]
        foreach ($session in $sessions) {
            $entry = $machines["$($session.ComputerName)"]
            if ($entry -and -not $entry.Session) {
                $entry.Session = $session
                $live.Add($session)
            }
        }
        Add-ErrorToMachine $machines $openErrors 'OpenError'
        foreach ($name in $ComputerName) {
            $entry = $machines[$name]
            if (-not $entry.Session) {
                $entry.Done = $true
                $why = if ($entry.OpenError) { $entry.OpenError.Exception.Message } else { 'no session' }
                New-RepairResult -ComputerName $name -Meaning "not run: could not connect: $why"
            }
        }
        if ($live.Count -eq 0) {
            return
        }
        $runErrors = @()
        Invoke-Command -Session $live.ToArray() -ScriptBlock $RemoteWork -ThrottleLimit $ThrottleLimit -ArgumentList $Work `
            -ErrorAction SilentlyContinue -ErrorVariable runErrors |
            ForEach-Object {
                $entry = if ($_.PSObject.Properties['PSComputerName']) { $machines["$($_.PSComputerName)"] } else { $null }
                if ($entry -and -not $entry.Done) {
                    $entry.Done = $true
                    ConvertFrom-RemoteOutcome -ComputerName $entry.Name -Outcome $_
                }
            }
        Add-ErrorToMachine $machines $runErrors 'RunError'
        foreach ($name in $ComputerName) {
            $entry = $machines[$name]
            if (-not $entry.Done) {
                $entry.Done = $true
                $why = if ($entry.RunError) { ": $($entry.RunError.Exception.Message)" } else { '' }
                New-RepairResult -ComputerName $name -Meaning "result not known: the session ended before the computer answered$why. If the tool ran, Downloads may stay closed until it ends; run the detection script there"
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

function Invoke-Fleet {
    param([string[]]$ComputerName, [string]$Path, [string]$ExpectedHash, $Credential, [int]$TimeoutSeconds,
        [int]$OpenTimeoutSeconds, [int]$ThrottleLimit, [int]$BatchSize = 200, [string]$Detection, [string]$Audit,
        [string]$Requirement)
    $executable = [System.IO.File]::ReadAllBytes($Path)
    $localHash = (Get-FileHash -LiteralPath $Path -Algorithm SHA256).Hash
    if ($localHash -ne $ExpectedHash) {
        throw "$Path has SHA-256 $localHash, not the published $ExpectedHash; nothing was run. Check that the file and its checksum come from the same release."
    }
    # Scripts travel as their bytes, so a signed copy keeps its signature.
    $scripts = @{}
    foreach ($role in @(@('Detection', $Detection), @('Audit', $Audit), @('Requirement', $Requirement))) {
        $scripts[$role[0]] = @{ Name = Split-Path -Leaf $role[1]; Content = [System.IO.File]::ReadAllBytes($role[1]) }
    }
    $work = @{
        Executable     = $executable
        ExecutableName = Split-Path -Leaf $Path
        Scripts        = $scripts
        ExpectedHash   = $ExpectedHash
        TimeoutSeconds = $TimeoutSeconds
    }
    $connect = @{
        SessionOption = New-PSSessionOption -OpenTimeout ($OpenTimeoutSeconds * 1000)
        ThrottleLimit = $ThrottleLimit
        ErrorAction   = 'SilentlyContinue'
    }
    if ($Credential) {
        $connect.Credential = $Credential
    }
    $remoteWork = Get-RemoteWork
    $names = @(Get-UniqueName $ComputerName)
    for ($first = 0; $first -lt $names.Count; $first += $BatchSize) {
        $last = [math]::Min($first + $BatchSize, $names.Count) - 1
        Invoke-FleetBatch -ComputerName $names[$first..$last] -Connect $connect -RemoteWork $remoteWork -Work $work `
            -ThrottleLimit $ThrottleLimit
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
    BatchSize          = $BatchSize
    Detection          = Select-ScriptCopy $PSScriptRoot 'Test-DownloadsPermissions'
    Audit              = Select-ScriptCopy $PSScriptRoot 'Get-DownloadsExposure'
    Requirement        = Select-ScriptCopy $PSScriptRoot 'Test-DownloadsPermissionsApplies'
}
Invoke-Fleet @run
