BeforeAll {
    . (Join-Path $PSScriptRoot 'testing/TestSupport.ps1')
    . (Join-Path $PSScriptRoot 'Invoke-DownloadsPermissions.ps1') -ComputerName 'only defining functions'
}

Describe 'Read-PublishedHash' {
    It 'reads <Case>' -ForEach @(
        @{ Case = 'the sha256sum form'; Text = ('ab' * 32) + '  tool.exe'; Hash = 'AB' * 32 }
        @{ Case = 'the binary marker'; Text = ('0F' * 32) + " *tool.exe`r`n"; Hash = '0F' * 32 }
        @{ Case = 'a leading blank line'; Text = "`n" + ('1' * 64) + '  tool.exe'; Hash = '1' * 64 }
    ) {
        Read-PublishedHash -Text $Text -FileName 'tool.exe' -SumFile 'tool.exe.sha256' | Should -Be $Hash
    }

    It 'refuses <Case>' -ForEach @(
        @{ Case = 'an empty file'; Text = ''; Message = '*is empty*' }
        @{ Case = 'only blank lines'; Text = "`r`n `n"; Message = '*is empty*' }
        @{ Case = 'another file'; Text = ('a' * 64) + '  other.exe'; Message = "*of 'other.exe', not of tool.exe*" }
        @{ Case = 'a short hash'; Text = ('a' * 63) + '  tool.exe'; Message = '*not a SHA-256*' }
        @{ Case = 'a hash that is not hexadecimal'; Text = ('g' * 64) + '  tool.exe'; Message = '*not a SHA-256*' }
    ) {
        { Read-PublishedHash -Text $Text -FileName 'tool.exe' -SumFile 'tool.exe.sha256' } | Should -Throw -ExpectedMessage $Message
    }
}

Describe 'Get-TaskResultMeaning' {
    It 'names <Result>' -ForEach @(
        @{ Result = 0; Meaning = 'the tool ended with status 0*' }
        @{ Result = 681; Meaning = 'refused: *inside it; nothing was written; the exposure audit names it*' }
        @{ Result = 2; Meaning = 'not repaired: Downloads moved during the run; nothing was written*' }
        @{ Result = 206; Meaning = '*too deep to check; nothing was written' }
        @{ Result = 32; Meaning = '*holds Downloads open*' }
        @{ Result = 267; Meaning = '*not a folder*' }
        @{ Result = 1336; Meaning = 'not repaired: Windows error 1336;*' }
        @{ Result = 0x41306; Meaning = 'the tool was stopped before it ended; Downloads may be left closed; run it again (Task Scheduler 0x00041306 SCHED_S_TASK_TERMINATED*' }
        @{ Result = 2147483651; Meaning = 'the tool stopped abnormally; Downloads may be left closed; run it again (exit status 0x80000003 STATUS_BREAKPOINT)' }
        @{ Result = -2147483646; Meaning = 'the tool stopped abnormally;*(exit status 0x80000002 STATUS_DATATYPE_MISALIGNMENT)' }
        @{ Result = 0x40010004; Meaning = 'the tool stopped abnormally; Downloads may be left closed; run it again (exit status 0x40010004 DBG_TERMINATE_PROCESS)' }
        @{ Result = 0x4000001E; Meaning = 'the tool stopped abnormally;*(exit status 0x4000001E)' }
        @{ Result = 2147549183; Meaning = 'not run: Task Scheduler HRESULT 0x8000FFFF' }
        @{ Result = 0x41303; Meaning = '*SCHED_S_TASK_HAS_NOT_RUN*' }
        @{ Result = -2147024894; Meaning = 'not run: Task Scheduler could not start the program: HRESULT 0x80070002 (Windows error 2)' }
        @{ Result = 2147942405; Meaning = '*HRESULT 0x80070005 (Windows error 5)' }
        @{ Result = 2147750671; Meaning = '*0x8004130F SCHED_E_ACCOUNT_INFORMATION_NOT_SET*' }
        @{ Result = 2147500037; Meaning = 'not run: Task Scheduler HRESULT 0x80004005' }
        @{ Result = 5; Meaning = 'not repaired: the agent''s key refuses full access, or the account may not open Downloads*(run it as SYSTEM); nothing was written' }
        @{ Result = 3221225477; Meaning = 'the tool stopped abnormally; Downloads may be left closed; run it again (exit status 0xC0000005 STATUS_ACCESS_VIOLATION)' }
        @{ Result = -1073740791; Meaning = 'the tool stopped abnormally;*(exit status 0xC0000409 STATUS_STACK_BUFFER_OVERRUN)' }
        @{ Result = 3765269347; Meaning = 'the tool stopped abnormally; Downloads may be left closed; run it again (exit status 0xE06D7363)' }
        @{ Result = 0x41300; Meaning = 'not run: Task Scheduler 0x00041300 SCHED_S_TASK_READY*' }
    ) {
        Get-TaskResultMeaning $Result | Should -BeLike $Meaning
    }
}

Describe 'Invoke-RemoteRepair' {
    BeforeAll {
        $tool = [byte[]](1, 2, 3, 4)
        $toolHash = (Get-FileHash -InputStream ([IO.MemoryStream]::new($tool)) -Algorithm SHA256).Hash
        $scripts = @{
            Requirement = @{ Name = 'applies.signed.ps1'; Content = [byte[]](65, 13, 10) }
            Detection   = @{ Name = 'detect.ps1'; Content = [byte[]](66, 13, 10) }
            Audit       = @{ Name = 'audit.ps1'; Content = [byte[]](67, 13, 10) }
        }
        function Invoke-Repair {
            Invoke-RemoteRepair -Executable $tool -ExecutableName 'tool.exe' -Scripts $scripts -ExpectedHash $toolHash -TimeoutSeconds 10
        }
        # The tool's own task; the scripts' tasks end in -applies, -detect and -audit.
        $isTool = { $TaskName -notmatch '-(applies|detect|audit)$' }
    }

    BeforeEach {
        $stage = Join-Path $TestDrive ([guid]::NewGuid().ToString('N'))
        New-Item -ItemType Directory -Path $stage | Out-Null
        Mock New-StagingFolder { $stage }
        Mock New-ScheduledTaskAction { 'action' }
        Mock New-ScheduledTaskPrincipal { 'principal' }
        Mock New-ScheduledTaskSettingsSet { 'settings' }
        Mock Register-ScheduledTask { return }
        Mock Start-ScheduledTask { return }
        Mock Stop-ScheduledTask { return }
        Mock Unregister-ScheduledTask { return }
        # A clock that moves only when the run sleeps.
        $now = [pscustomobject]@{ Seconds = 0.0; Step = 0.5 }
        Mock Start-Sleep { $now.Seconds += $now.Step }
        Mock New-WaitClock {
            [pscustomobject]@{ Now = $now; Start = $now.Seconds } |
                Add-Member -MemberType ScriptProperty -Name Elapsed -Value { [timespan]::FromSeconds($this.Now.Seconds - $this.Start) } -PassThru
        }
        Mock Get-ScheduledTask { [pscustomobject]@{ State = 'Ready' } }
        Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 0 } }
        # What the scripts' tasks wrote: the requirement's answer, detection's
        # one line when repaired, the audit's objects.
        Mock Get-Content { 'True' } -ParameterFilter { $LiteralPath -like '*requirement.txt' }
        Mock Get-Content { 'Downloads access list repaired' } -ParameterFilter { $LiteralPath -like '*detection.txt' }
        Mock Import-Clixml { [pscustomobject]@{ Why = 'a finding' } } -ParameterFilter { $LiteralPath -like '*audit.xml' }
    }

    It 'records the status, then what detection found as SYSTEM, and removes the tasks and the folder' {
        Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 681 } } -ParameterFilter $isTool
        $outcome = Invoke-Repair
        $outcome.ExitStatus | Should -Be 681
        $outcome.Applies | Should -BeTrue
        $outcome.Repaired | Should -BeTrue
        $outcome.Findings.Why | Should -Be 'a finding'
        $outcome.Detail | Should -BeNullOrEmpty
        Should -Invoke New-ScheduledTaskPrincipal -Times 4 -Exactly -ParameterFilter { $UserId -eq 'S-1-5-18' }
        Should -Invoke New-ScheduledTaskAction -Times 1 -Exactly -ParameterFilter {
            $Execute -like '"*powershell.exe"' -and $Argument -like "*-Command*& '$stage*detect.ps1'*detection.txt*" }
        Should -Invoke Unregister-ScheduledTask -Times 4 -Exactly
        Test-Path -LiteralPath $stage | Should -BeFalse
    }

    It 'stages <Script> byte for byte and runs it by its path as SYSTEM' -ForEach @(
        @{ Script = 'applies.signed.ps1'; Bytes = '65 13 10'; Arguments = '' }
        @{ Script = 'detect.ps1'; Bytes = '66 13 10'; Arguments = '' }
        @{ Script = 'audit.ps1'; Bytes = '67 13 10'; Arguments = '-Summary:$false -MaxSeconds 120' }
        @{ Script = 'tool.exe'; Bytes = '1 2 3 4'; Arguments = $null }
    ) {
        Mock Remove-Item { return }
        Invoke-Repair | Out-Null
        $path = Join-Path $stage $Script
        "$([IO.File]::ReadAllBytes($path))" | Should -Be $Bytes
        if ($null -eq $Arguments) {
            # The program itself, its path in double quotes: it lies under
            # Program Files, whose space would end an unquoted path.
            Should -Invoke New-ScheduledTaskAction -Times 1 -Exactly -ParameterFilter { $Execute -eq "`"$path`"" -and -not $Argument }
        } else {
            $call = "& '$path' $Arguments 2>"
            Should -Invoke New-ScheduledTaskAction -Times 1 -Exactly -ParameterFilter {
                $Execute -like '"*\System32\WindowsPowerShell\v1.0\powershell.exe"' -and $Argument.Contains($call) -and
                $Argument -like '-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command "*"' }
        }
    }

    It 'hands back what <Case> wrote, run through PowerShell''s -Command for real' -ForEach @(
        @{ Case = 'the scripts'; Requirement = "'True'"; Applies = $true; Kinds = 'Access', 'Link'; Detail = ''
            # Objects, then a program that fails, and no exit.
            Audit = "[pscustomobject]@{ Kind = 'Access'; Why = 'a grant' }`n[pscustomobject]@{ Kind = 'Link'; Why = 'a junction' }`n& /bin/sh -c 'exit 3'"
        }
        @{ Case = 'a failing requirement'; Requirement = "Write-Error 'the agent key cannot be read'`nexit 1"; Applies = $null
            Audit = "[pscustomobject]@{ Kind = 'Key'; Why = 'refused' }"; Kinds = @('Key')
            Detail = 'the requirement failed: PowerShell ended with 1: *the agent key cannot be read*'
        }
    ) {
        $real = @{
            Requirement = @{ Name = 'applies.ps1'; Content = [Text.Encoding]::UTF8.GetBytes($Requirement) }
            Detection   = @{ Name = 'detect.ps1'; Content = [Text.Encoding]::UTF8.GetBytes("'Downloads carries the program-files access list'`nexit 0") }
            Audit       = @{ Name = 'audit.ps1'; Content = [Text.Encoding]::UTF8.GetBytes("param([switch]`$Summary, [int]`$MaxSeconds)`n$Audit") }
        }
        # Task Scheduler's stand-in: the tool ends with 0 at once; PowerShell
        # runs the -Command text its task was given, in a new process.
        $actions = @{}
        $results = @{}
        Mock New-ScheduledTaskAction { [pscustomobject]@{ Execute = $Execute; Argument = $Argument } }
        Mock Register-ScheduledTask { $actions[$TaskName] = $Action }
        Mock Start-ScheduledTask {
            $results[$TaskName] = 0
            if ($actions[$TaskName].Argument -match '-Command "(.*)"$') {
                $results[$TaskName] = (Invoke-PowerShellProcess $Matches[1]).Status
            }
        }
        Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = $results[$TaskName] } }
        # The files as the scripts wrote them.
        $written = { $LiteralPath -like "$stage*" }
        Mock Get-Content { & (Get-Command Get-Content -CommandType Cmdlet) -LiteralPath $LiteralPath } -ParameterFilter $written
        Mock Import-Clixml { & (Get-Command Import-Clixml -CommandType Cmdlet) -LiteralPath $LiteralPath } -ParameterFilter $written
        $outcome = Invoke-RemoteRepair -Executable $tool -ExecutableName 'tool.exe' -Scripts $real -ExpectedHash $toolHash -TimeoutSeconds 10
        $outcome.Applies | Should -Be $Applies
        $outcome.ExitStatus | Should -Be 0
        $outcome.Repaired | Should -BeTrue
        @($outcome.Findings.Kind) | Should -Be $Kinds
        $outcome.Findings[0].Why | Should -Not -BeNullOrEmpty
        $outcome.Detail | Should -BeLike $Detail
    }

    It 'asks the requirement first: <Case>' -ForEach @(
        @{ Case = 'it applies'; Answer = 'True'; Status = 0; Applies = $true; ToolRuns = 1; Detail = '' }
        @{ Case = 'it does not apply, so the tool does not run'; Answer = 'False'; Status = 0; Applies = $false; ToolRuns = 0; Detail = '' }
        @{ Case = 'it cannot tell, so the tool runs and the reason is kept'; Answer = ''; Status = 1; Applies = $null; ToolRuns = 1
            Detail = 'the requirement failed: PowerShell ended with 1: needs FullLanguage mode'
        }
        @{ Case = 'it answers something else'; Answer = 'Maybe'; Status = 0; Applies = $null; ToolRuns = 1
            Detail = "the requirement printed 'Maybe', not True or False"
        }
    ) {
        Mock Get-Content { $Answer } -ParameterFilter { $LiteralPath -like '*requirement.txt' }
        Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = $Status } } -ParameterFilter { $TaskName -like '*-applies' }
        Set-Content -LiteralPath (Join-Path $stage 'requirement.err.txt') -Value "`r`nneeds FullLanguage mode"
        $outcome = Invoke-Repair
        $outcome.Applies | Should -Be $Applies
        $outcome.Detail | Should -Be $Detail
        Should -Invoke Register-ScheduledTask -Times $ToolRuns -Exactly -ParameterFilter $isTool
        $outcome.Findings.Why | Should -Be 'a finding'
        if ($ToolRuns -eq 0) {
            $outcome.ExitStatus | Should -BeNullOrEmpty
            $outcome.Repaired | Should -BeNullOrEmpty
            Should -Invoke Register-ScheduledTask -Times 0 -ParameterFilter { $TaskName -like '*-detect' }
        }
        Test-Path -LiteralPath $stage | Should -BeFalse
    }

    It 'never stops a tool that is still running: says so and leaves its task and folder' {
        Mock Get-ScheduledTask { [pscustomobject]@{ State = 'Running' } } -ParameterFilter $isTool
        Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 0x41301 } } -ParameterFilter $isTool
        $outcome = Invoke-Repair
        $outcome.StillRunning | Should -BeTrue
        $outcome.ExitStatus | Should -BeNullOrEmpty
        $outcome.Detail | Should -BeLike 'still running after 10 seconds, result not known; Downloads may stay closed until it ends*'
        Should -Invoke Stop-ScheduledTask -Times 0
        Should -Invoke Unregister-ScheduledTask -Times 0 -ParameterFilter $isTool
        Test-Path -LiteralPath (Join-Path $stage 'tool.exe') | Should -BeTrue
    }

    It 'takes only the tool''s own result: <Case>' -ForEach @(
        @{ Case = 'a task not started yet, then status 5'; States = 'Ready', 'Queued', 'Running', 'Ready'
            Results = 0x41303, 0x41303, 0x41301, 5; Step = 0.5; ExitStatus = 5; Detail = ''; Polls = 4
        }
        @{ Case = 'a running task with an old result, then 0'; States = 'Running', 'Running', 'Ready'
            Results = 0, 0x41301, 0; Step = 0.5; ExitStatus = 0; Detail = ''; Polls = 3
        }
        @{ Case = 'a crash'; States = 'Ready'; Results = 3221225477; Step = 0.5; ExitStatus = 3221225477; Detail = ''; Polls = 1 }
        @{ Case = 'a task Task Scheduler never starts'; States = 'Ready'; Results = 0x41303; Step = 0.5; ExitStatus = $null
            Detail = 'not started after 10 seconds: Task Scheduler has not run the tool yet and may still do so; result not known. Task *'; Polls = 21
        }
        @{ Case = 'slow polls, bounded by the clock'; States = 'Running'; Results = 0x41301; Step = 4; ExitStatus = $null
            Detail = 'still running after 10 seconds*'; Polls = 4
        }
        @{ Case = 'Task Scheduler failing once the tool has started'; States = 'Running'; Results = 0x41301, 'fails'; Step = 0.5
            ExitStatus = $null; Polls = 2
            Detail = "started, result not known: the task service is not available; Downloads may stay closed until it ends. Task 'DownloadsPermissions-*' and folder * are left for a later look*"
        }
    ) {
        $states = [Collections.Queue]::new([object[]]$States)
        $results = [Collections.Queue]::new([object[]]$Results)
        $now.Step = $Step
        Mock Get-ScheduledTask { [pscustomobject]@{ State = $(if ($states.Count -gt 1) { $states.Dequeue() } else { $states.Peek() }) } } -ParameterFilter $isTool
        Mock Get-ScheduledTaskInfo {
            $result = if ($results.Count -gt 1) { $results.Dequeue() } else { $results.Peek() }
            if ("$result" -eq 'fails') {
                throw 'the task service is not available'
            }
            [pscustomobject]@{ LastTaskResult = $result }
        } -ParameterFilter $isTool
        $outcome = Invoke-Repair
        $outcome.ExitStatus | Should -Be $ExitStatus
        $outcome.Detail | Should -BeLike $Detail
        $outcome.StillRunning | Should -Be ($null -eq $ExitStatus)
        Should -Invoke Get-ScheduledTaskInfo -Times $Polls -Exactly -ParameterFilter $isTool
        Should -Invoke Stop-ScheduledTask -Times 0
        # The tool's task and folder stay exactly when its result is not known.
        Should -Invoke Unregister-ScheduledTask -Times ([int]($null -ne $ExitStatus)) -Exactly -ParameterFilter $isTool
        Test-Path -LiteralPath (Join-Path $stage 'tool.exe') | Should -Be ($null -eq $ExitStatus)
    }

    It 'keeps the status when <Case>' -ForEach @(
        @{ Case = 'detection cannot start'; Fails = 'Register'; Detail = 'detection failed: no task service' }
        @{ Case = 'detection ends with an error'; Fails = 'Result'; Detail = 'detection failed: PowerShell ended with 1' }
        @{ Case = 'a task cannot be removed'; Fails = 'Unregister'; Detail = '*was left: access denied*' }
        @{ Case = 'the audit ends with an error'; Fails = 'Audit'; Detail = 'the exposure audit failed: PowerShell ended with 1: Access to the path is denied.' }
        @{ Case = 'the audit does not end'; Fails = 'AuditHangs'; Detail = 'the exposure audit did not end within 240 seconds' }
        @{ Case = 'the folder cannot be removed'; Fails = 'Folder'; Detail = 'folder *was left: in use' }
        @{ Case = 'detection and a removal fail'; Fails = 'Result', 'Unregister'
            Detail = '*; detection failed: PowerShell ended with 1; task *-detect was left: access denied; *'
        }
    ) {
        switch ($Fails) {
            'Register' { Mock Register-ScheduledTask { throw 'no task service' } -ParameterFilter { $TaskName -like '*-detect' } }
            'Result' { Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 1 } } -ParameterFilter { $TaskName -like '*-detect' } }
            'Unregister' { Mock Unregister-ScheduledTask { throw 'access denied' } }
            'Audit' {
                Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 1 } } -ParameterFilter { $TaskName -like '*-audit' }
                Set-Content -LiteralPath (Join-Path $stage 'audit.err.txt') -Value 'Access to the path is denied.'
            }
            'AuditHangs' { Mock Get-ScheduledTask { [pscustomobject]@{ State = 'Running' } } -ParameterFilter { $TaskName -like '*-audit' } }
            'Folder' { Mock Remove-Item { throw 'in use' } -ParameterFilter { $LiteralPath -eq $stage } }
        }
        Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 32 } } -ParameterFilter $isTool
        $outcome = Invoke-Repair
        $outcome.ExitStatus | Should -Be 32
        $outcome.Detail | Should -BeLike $Detail
        $outcome.Detail | Should -Not -Match '  |^;|; ;|;$'
        Test-Path -LiteralPath $stage | Should -Be ($Fails -contains 'Folder')
    }

    It 'runs nothing when the staged copy is not the published one' {
        $outcome = Invoke-RemoteRepair -Executable $tool -ExecutableName 'tool.exe' -Scripts $scripts `
            -ExpectedHash ('0' * 64) -TimeoutSeconds 10
        $outcome.ExitStatus | Should -BeNullOrEmpty
        $outcome.Detail | Should -BeLike "the staged copy's SHA-256 is*nothing was run"
        Should -Invoke Register-ScheduledTask -Times 0
        Test-Path -LiteralPath $stage | Should -BeFalse
    }

    It 'stages nothing where remote commands run in ConstrainedLanguage, and says so' {
        # The work as each computer receives it, run in a session that
        # AppLocker or WDAC has put in ConstrainedLanguage mode.
        $work = Join-Path $TestDrive 'work.ps1'
        Set-Content -LiteralPath $work -Value "$(Get-RemoteWork)"
        $run = Invoke-PowerShellProcess ("`$ExecutionContext.SessionState.LanguageMode = 'ConstrainedLanguage'`n" +
            "`$o = & '$work' -Work @{ Executable = [byte[]](1); ExecutableName = 'tool.exe'; Scripts = @{}; ExpectedHash = 'x'; TimeoutSeconds = 10 }`n" +
            "`"`$(`$o.LanguageMode)|`$(`$o.ExitStatus)|`$(`$o.Detail)|`$(`$o.StillRunning)`"")
        $run.Err | Should -BeNullOrEmpty
        $run.Out | Should -Be 'ConstrainedLanguage|||False'
    }
}

Describe 'Select-ScriptCopy' {
    It 'hands over <Expected> when the folder holds <Case>' -ForEach @(
        @{ Case = 'both copies'; Files = 'detect.ps1', 'detect.signed.ps1'; Expected = 'detect.signed.ps1' }
        @{ Case = 'only the signed copy'; Files = @('detect.signed.ps1'); Expected = 'detect.signed.ps1' }
        @{ Case = 'only the plain copy'; Files = @('detect.ps1'); Expected = 'detect.ps1' }
        @{ Case = 'neither'; Files = @('other.ps1'); Expected = $null }
    ) {
        $folder = Join-Path $TestDrive ([guid]::NewGuid().ToString('N'))
        New-Item -ItemType Directory -Path $folder | Out-Null
        foreach ($file in $Files) {
            New-Item -ItemType File -Path (Join-Path $folder $file) | Out-Null
        }
        if ($Expected) {
            Select-ScriptCopy -Folder $folder -Name 'detect' | Should -Be (Join-Path $folder $Expected)
        } else {
            { Select-ScriptCopy -Folder $folder -Name 'detect' } | Should -Throw -ExpectedMessage 'neither detect.signed.ps1 nor detect.ps1 lies in*'
        }
    }
}

Describe 'Invoke-Fleet' {
    BeforeAll {
        $exe = Join-Path $TestDrive 'tool.exe'
        [IO.File]::WriteAllBytes($exe, [byte[]](7, 7, 7))
        $detection = Join-Path $TestDrive 'detect.signed.ps1'
        Set-Content -LiteralPath $detection -Value "'repaired'"
        $audit = Join-Path $TestDrive 'audit.ps1'
        Set-Content -LiteralPath $audit -Value "'finding'"
        $requirement = Join-Path $TestDrive 'applies.ps1'
        Set-Content -LiteralPath $requirement -Value "'True'"
        $hash = (Get-FileHash -LiteralPath $exe -Algorithm SHA256).Hash
        # A fleet: most machines repair, some are unreachable, some fail, one
        # is slow, one drops its session, one refuses (681).
        $fleet = @(1..40 | ForEach-Object { "pc$_" }) + 'down1', 'down2', 'fail1', 'slow1', 'drop1', 'link1'
        function Invoke-FleetRun {
            param([string[]]$ComputerName = $fleet, [int]$BatchSize = 200)
            Invoke-Fleet -ComputerName $ComputerName -Path $exe -ExpectedHash $hash -TimeoutSeconds 60 -OpenTimeoutSeconds 5 `
                -ThrottleLimit 32 -BatchSize $BatchSize -Detection $detection -Audit $audit -Requirement $requirement
        }
        # What New-PSSession gives for a computer that does not answer: the
        # runspace that would not open, with its connection information.
        function New-OpenError {
            param([string]$Name, [string]$Message)
            Write-Error -Message $Message -TargetObject ([pscustomobject]@{ ConnectionInfo = [pscustomobject]@{ ComputerName = $Name } })
        }
    }

    BeforeEach {
        $open = [Collections.Generic.List[string]]::new()
        $peak = [pscustomobject]@{ Open = 0 }
        Mock New-PSSessionOption { [pscustomobject]@{ OpenTimeout = $OpenTimeout } }
        Mock New-PSSession {
            foreach ($name in $ComputerName) {
                if ($name -like 'down*') {
                    New-OpenError $name "Connecting to remote server $name failed: WinRM cannot complete the operation"
                } else {
                    $open.Add($name)
                    $peak.Open = [math]::Max($peak.Open, $open.Count)
                    # A session reports its computer's name as WinRM has it.
                    [pscustomobject]@{ ComputerName = $name.ToLowerInvariant() }
                }
            }
        }
        Mock Invoke-Command {
            foreach ($session in $Session) {
                $outcome = switch -Wildcard ($session.ComputerName) {
                    'fail*' { @{ ExitStatus = $null; StillRunning = $false; Repaired = $null; Detail = 'icacls could not restrict the folder' } }
                    'slow*' { @{ ExitStatus = $null; StillRunning = $true; Repaired = $null; Detail = 'still running after 60 seconds, result not known; Downloads may stay closed until it ends' } }
                    'link*' { @{ ExitStatus = 681; StillRunning = $false; Repaired = $false; Findings = @([pscustomobject]@{ Why = 'a junction' }); Detail = '' } }
                    'drop*' { Write-Error -Message "The session to $($session.ComputerName) was broken" -TargetObject $session.ComputerName; continue }
                    default { @{ LanguageMode = 'FullLanguage'; Applies = $true; ExitStatus = 0; StillRunning = $false; Repaired = $true; Findings = @(); Detail = '' } }
                }
                if ($outcome) {
                    [pscustomobject]$outcome | Add-Member -NotePropertyName PSComputerName -NotePropertyValue $session.ComputerName -PassThru
                }
            }
        } -RemoveParameterType Session
        # Sessions here are plain objects that stand for PSSessions.
        Mock Remove-PSSession { [void]$open.Remove($Session.ComputerName) } -RemoveParameterType Session
    }

    It 'gives every machine exactly one result, and a failure only its own' {
        $results = @(Invoke-FleetRun)
        $results | Should -HaveCount $fleet.Count
        @($results.ComputerName | Sort-Object -Unique) | Should -HaveCount $fleet.Count
        $by = @{}
        $results | ForEach-Object { $by[$_.ComputerName] = $_ }
        foreach ($pc in 1..40 | ForEach-Object { "pc$_" }) {
            $by[$pc].ExitStatus | Should -Be 0
            $by[$pc].Repaired | Should -BeTrue
            $by[$pc].Applies | Should -BeTrue
        }
        $by['down1'].Meaning | Should -BeLike 'not run: could not connect: Connecting to remote server down1 failed*'
        $by['down2'].ExitStatus | Should -BeNullOrEmpty
        $by['fail1'].Meaning | Should -Be 'not run: icacls could not restrict the folder'
        $by['slow1'].Meaning | Should -BeLike 'still running*Downloads may stay closed until it ends'
        $by['slow1'].ExitStatus | Should -BeNullOrEmpty
        $by['drop1'].Meaning | Should -BeLike 'result not known: the session ended before the computer answered: The session to drop1 was broken*'
        $by['link1'].ExitStatus | Should -Be 681
        $by['link1'].Repaired | Should -BeFalse
        $by['link1'].Exposure | Should -Be '1 exposure finding(s)'
        $by['link1'].Findings.Why | Should -Be 'a junction'
        $by['pc7'].Exposure | Should -Be 'no exposure found'
        $by['fail1'].Exposure | Should -Be 'not audited'
    }

    It 'opens all sessions in one call with the short timeout, and hands out the work in one parallel call' {
        Invoke-FleetRun | Out-Null
        Should -Invoke New-PSSession -Times 1 -Exactly -ParameterFilter { $ComputerName.Count -eq $fleet.Count -and $ThrottleLimit -eq 32 }
        Should -Invoke New-PSSessionOption -Times 1 -Exactly -ParameterFilter { $OpenTimeout -eq 5000 }
        Should -Invoke Invoke-Command -Times 1 -Exactly -ParameterFilter {
            $Session.Count -eq $fleet.Count - 2 -and $ThrottleLimit -eq 32 -and $ArgumentList[0].Executable.Length -eq 3 -and
            $ArgumentList[0].ExpectedHash -eq $hash -and $ArgumentList[0].ExecutableName -eq 'tool.exe' -and
            $ArgumentList[0].Scripts.Detection.Name -eq 'detect.signed.ps1' -and
            "$($ArgumentList[0].Scripts.Requirement.Content)" -eq "$([IO.File]::ReadAllBytes($requirement))"
        }
    }

    It 'reports <Case>' -ForEach @(
        @{ Case = 'status 5 by its own meaning'; Outcome = @{ Applies = $true; ExitStatus = 5; Repaired = $false; Findings = @(); Detail = '' }
            Applies = $true; ExitStatus = 5; Repaired = $false; Exposure = 'no exposure found'
            Meaning = 'not repaired: *(run it as SYSTEM); nothing was written'
        }
        @{ Case = 'a crash as the tool stopping abnormally'; Outcome = @{ Applies = $true; ExitStatus = 3221225477; Repaired = $false; Findings = @(); Detail = '' }
            Applies = $true; ExitStatus = 3221225477; Repaired = $false; Exposure = 'no exposure found'
            Meaning = 'the tool stopped abnormally; Downloads may be left closed; run it again (exit status 0xC0000005 STATUS_ACCESS_VIOLATION)'
        }
        @{ Case = 'a machine where the repair does not apply as not applicable'
            Outcome = @{ Applies = $false; ExitStatus = $null; Repaired = $null; Findings = @([pscustomobject]@{ Why = 'key refused' }); Detail = '' }
            Applies = $false; ExitStatus = $null; Repaired = $null; Exposure = '1 exposure finding(s)'
            Meaning = 'not applicable: the requirement, run as SYSTEM, found nothing the tool would repair here (*); the tool was not run'
        }
        @{ Case = 'a cleanup and a detection problem after the status'
            Outcome = @{ Applies = $true; ExitStatus = 0; Repaired = $null; Findings = $null
                Detail = "detection failed: PowerShell ended with 1; folder C:\Program Files\DownloadsPermissions-1 was left: in use"
            }
            Applies = $true; ExitStatus = 0; Repaired = $null; Exposure = 'not audited'
            Meaning = 'the tool ended with status 0: Downloads carries the new list, or there was nothing to repair; detection failed: PowerShell ended with 1; folder C:\Program Files\DownloadsPermissions-1 was left: in use'
        }
        @{ Case = 'an audit problem where the repair does not apply'
            Outcome = @{ Applies = $false; ExitStatus = $null; Repaired = $null; Findings = $null; Detail = 'the exposure audit failed: PowerShell ended with 1' }
            Applies = $false; ExitStatus = $null; Repaired = $null; Exposure = 'not audited'
            Meaning = 'not applicable: *; the tool was not run; the exposure audit failed: PowerShell ended with 1'
        }
        @{ Case = 'a requirement that could not tell, beside the status'
            Outcome = @{ Applies = $null; ExitStatus = 32; Repaired = $false; Findings = @(); Detail = 'the requirement failed: PowerShell ended with 1' }
            Applies = $null; ExitStatus = 32; Repaired = $false; Exposure = 'no exposure found'
            Meaning = 'not repaired: another program holds Downloads open;*; the requirement failed: PowerShell ended with 1'
        }
        @{ Case = 'a target in ConstrainedLanguage in plain words'
            Outcome = @{ LanguageMode = 'ConstrainedLanguage'; Applies = $null; ExitStatus = $null; Repaired = $null; Findings = $null; Detail = '' }
            Applies = $null; ExitStatus = $null; Repaired = $null; Exposure = 'not audited'
            Meaning = 'not run: the target runs remote commands in ConstrainedLanguage (WDAC or AppLocker); use Intune or Configuration Manager there'
        }
    ) {
        Mock Invoke-Command {
            $outcome = $Outcome.Clone()
            $outcome.StillRunning = $false
            $outcome.PSComputerName = $Session[0].ComputerName
            [pscustomobject]$outcome
        } -RemoveParameterType Session
        $result = @(Invoke-FleetRun -ComputerName pc1)
        $result | Should -HaveCount 1
        $result[0].Applies | Should -Be $Applies
        $result[0].ExitStatus | Should -Be $ExitStatus
        $result[0].Repaired | Should -Be $Repaired
        $result[0].Exposure | Should -Be $Exposure
        $result[0].Meaning | Should -BeLike $Meaning
        $result[0].Meaning | Should -Not -Match '  '
    }

    It 'works on <Case> once, under the first spelling' -ForEach @(
        @{ Case = 'one name in two cases'; Names = 'PC1', 'pc2', 'pc1', 'Pc1'; Expected = 'PC1', 'pc2' }
        @{ Case = 'names with blanks and empty lines'; Names = ' pc1', '', 'pc1 ', 'PC2'; Expected = 'pc1', 'PC2' }
    ) {
        $results = @(Invoke-FleetRun -ComputerName $Names)
        @($results.ComputerName) | Should -Be $Expected
        $results.ExitStatus | Should -Be 0, 0
        Should -Invoke New-PSSession -Times 1 -Exactly -ParameterFilter { "$ComputerName" -eq "$Expected" }
    }

    It 'gives each computer only its own error when <Case>' -ForEach @(
        @{ Case = 'neither answers'; Stage = 'open' }
        @{ Case = 'both sessions break'; Stage = 'run' }
    ) {
        # pc10's error comes first and names pc10 in its text; pc1's does not
        # name pc1 at all.
        if ($Stage -eq 'open') {
            Mock New-PSSession {
                New-OpenError 'pc10' 'Connecting to remote server pc10 failed: access is denied'
                New-OpenError 'pc1' 'WinRM cannot complete the operation'
            }
        } else {
            Mock Invoke-Command {
                Write-Error -Message 'The session to pc10 was broken' -TargetObject 'pc10'
                Write-Error -Message 'The network path was not found' -TargetObject ([pscustomobject]@{ ComputerName = 'pc1' })
            } -RemoveParameterType Session
        }
        $by = @{}
        Invoke-FleetRun -ComputerName 'pc1', 'pc10' | ForEach-Object { $by[$_.ComputerName] = $_.Meaning }
        $by['pc1'] | Should -Not -BeLike '*pc10*'
        $by['pc1'] | Should -Match ': (WinRM cannot complete the operation|The network path was not found)'
        $by['pc10'] | Should -BeLike '*pc10*'
    }

    It 'holds no session beyond its batch of <BatchSize>' -ForEach @(
        @{ BatchSize = 10; Batches = 5 }
        @{ BatchSize = 1; Batches = 46 }
    ) {
        $results = @(Invoke-FleetRun -BatchSize $BatchSize)
        $results | Should -HaveCount $fleet.Count
        $peak.Open | Should -BeLessOrEqual $BatchSize
        $open | Should -HaveCount 0
        Should -Invoke New-PSSession -Times $Batches -Exactly -ParameterFilter { $ComputerName.Count -le $BatchSize }
        Should -Invoke Invoke-Command -Times 0 -ParameterFilter { $Session.Count -gt $BatchSize }
    }

    It 'closes a batch''s sessions even when the run there fails' {
        Mock Invoke-Command { throw 'the remote run failed' } -RemoveParameterType Session
        { Invoke-FleetRun -BatchSize 10 } | Should -Throw -ExpectedMessage 'the remote run failed'
        $open | Should -HaveCount 0
    }

    It 'streams each result as it arrives' {
        $seen = [System.Collections.Generic.List[string]]::new()
        Mock Invoke-Command {
            foreach ($session in $Session) {
                $seen.Add("sent $($session.ComputerName)")
                [pscustomobject]@{ ExitStatus = 0; StillRunning = $false; Repaired = $true; Findings = @(); Detail = ''; PSComputerName = $session.ComputerName }
            }
        } -RemoveParameterType Session
        Invoke-FleetRun | ForEach-Object { $seen.Add("got $($_.ComputerName)") }
        $seen.IndexOf('got pc1') | Should -BeLessThan $seen.IndexOf('sent pc2')
    }

    It 'finishes even when a session cannot be closed' {
        Mock Remove-PSSession { throw 'the session is gone' } -ParameterFilter { $Session.ComputerName -eq 'pc3' } -RemoveParameterType Session
        @(Invoke-FleetRun 3>$null) | Should -HaveCount $fleet.Count
    }

    It 'runs nothing when the executable is not the published one' {
        { Invoke-Fleet -ComputerName pc1 -Path $exe -ExpectedHash ('0' * 64) -TimeoutSeconds 60 -OpenTimeoutSeconds 5 `
                -ThrottleLimit 32 -Detection $detection -Audit $audit -Requirement $requirement } | Should -Throw -ExpectedMessage '*nothing was run*'
        Should -Invoke New-PSSession -Times 0
    }
}
